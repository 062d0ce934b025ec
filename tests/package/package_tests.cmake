# What a host receives: the installed package and a consumer built against
# it, the release archive, the examples run, the header under a second
# compiler, and the source format. Included from tests/CMakeLists.txt.
set(TQPROXY_PACKAGE_TEST_DIR ${CMAKE_CURRENT_LIST_DIR})

# A sanitizer build is no release: its library needs a runtime that a host
# built with plain flags cannot load.
if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  # Both install from the build folder (its install manifest): one at a time.
  foreach(mode consumer archive)
    add_test(NAME package_${mode} COMMAND sh ${TQPROXY_PACKAGE_TEST_DIR}/package_test.sh ${mode}
      ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR} $<IF:$<BOOL:${WIN32}>,win64,linux>)
    set_tests_properties(package_${mode} PROPERTIES TIMEOUT 180 RESOURCE_LOCK tqproxy_install)
  endforeach()
endif()

# The examples check their own results: exit code 0 is the pass.
foreach(example tqproxy_c_host tqproxy_dynamic_host)
  add_test(NAME example_${example} COMMAND ${example})  # under Wine for the DLL
  set_tests_properties(example_${example} PROPERTIES TIMEOUT 60
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endforeach()
if(NOT WIN32)
  # The program's $ORIGIN run path serves a plain build; a sanitizer runtime
  # intercepts dlopen, which then searches the runtime's run path instead.
  set_tests_properties(example_tqproxy_dynamic_host PROPERTIES
    ENVIRONMENT LD_LIBRARY_PATH=${CMAKE_BINARY_DIR}/bin)
endif()
add_test(NAME example_tqproxy_hub COMMAND sh ${TQPROXY_PACKAGE_TEST_DIR}/hub_example_test.sh
  $<TARGET_FILE:tqproxy_hub> ${CMAKE_SOURCE_DIR})
set_tests_properties(example_tqproxy_hub PROPERTIES TIMEOUT 90)

add_test(NAME header_compiles_with_clang COMMAND sh ${TQPROXY_PACKAGE_TEST_DIR}/header_clang.sh
  ${CMAKE_SOURCE_DIR} $<IF:$<BOOL:${WIN32}>,x86_64-w64-mingw32,native>)
add_test(NAME source_format COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/check-format.sh)
set_tests_properties(header_compiles_with_clang source_format PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
