# A C host linked through the import library, and a C++ host that loads the
# DLL by name. Their CTest runs are in tests/package/package_tests.cmake.
add_executable(tqproxy_c_host c_host.c)
set_target_properties(tqproxy_c_host PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON)
target_link_libraries(tqproxy_c_host PRIVATE TqProxy ws2_32)

add_executable(tqproxy_dynamic_host dynamic_host.cpp)
target_include_directories(tqproxy_dynamic_host PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(tqproxy_dynamic_host PRIVATE ws2_32 version)
add_dependencies(tqproxy_dynamic_host TqProxy)  # loaded at run time from the same folder
