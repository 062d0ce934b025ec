# A C host linked against the library (through the import library on
# Windows), and a C++ host that loads it by name at run time. Their CTest
# runs are in tests/package/package_tests.cmake.
add_executable(tqproxy_c_host c_host.c)
set_target_properties(tqproxy_c_host PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON)
target_link_libraries(tqproxy_c_host PRIVATE TqProxy)

add_executable(tqproxy_dynamic_host dynamic_host.cpp)
target_include_directories(tqproxy_dynamic_host PRIVATE ${CMAKE_SOURCE_DIR}/include)
add_dependencies(tqproxy_dynamic_host TqProxy)  # loaded at run time from the same folder
if(WIN32)
  target_link_libraries(tqproxy_c_host PRIVATE ws2_32)
  target_link_libraries(tqproxy_dynamic_host PRIVATE ws2_32 version)
else()
  target_link_libraries(tqproxy_dynamic_host PRIVATE ${CMAKE_DL_LIBS})
  # dlopen searches the program's own run path: the folder it is in.
  set_target_properties(tqproxy_dynamic_host PROPERTIES BUILD_RPATH "\$ORIGIN")
endif()
