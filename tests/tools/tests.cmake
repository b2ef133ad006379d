# Tests of the kelvane command-line tool: a GoogleTest binary that runs the built tool
# as a user would and looks at its output, exit statuses and files.
file(GLOB kvn_tool_test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tools/*.cpp)
add_executable(test_tools ${kvn_tool_test_sources})
target_link_libraries(test_tools PRIVATE GTest::gtest GTest::gtest_main util)
target_compile_definitions(test_tools PRIVATE ${KVN_TEST_DEFS}
  KVN_CLI="$<TARGET_FILE:kelvane_cli>"
  KVN_EXAMPLES_DIR="${CMAKE_SOURCE_DIR}/examples")
add_dependencies(test_tools kelvane_cli)
gtest_discover_tests(test_tools DISCOVERY_TIMEOUT 120 PROPERTIES ENVIRONMENT "KVN_TEST=1")

# The C example signs and verifies through the public interface.
add_executable(example_sign_and_verify ${CMAKE_SOURCE_DIR}/examples/sign_and_verify.c)
target_link_libraries(example_sign_and_verify PRIVATE kelvane)
set(kvn_creds ${CMAKE_SOURCE_DIR}/examples/test-credentials)
add_test(NAME example_sign_and_verify
  COMMAND example_sign_and_verify ${CMAKE_SOURCE_DIR}/examples/cfdi32-invoice.xml
          ${CMAKE_BINARY_DIR}/example-signed.xml ${kvn_creds}/test-csd-1024.key
          ${kvn_creds}/test-csd-1024.cer test-password)
set_tests_properties(example_sign_and_verify PROPERTIES PASS_REGULAR_EXPRESSION "seal verified")
add_test(NAME example_sign_and_verify_cfdi40
  COMMAND example_sign_and_verify ${CMAKE_SOURCE_DIR}/examples/cfdi40-invoice.xml
          ${CMAKE_BINARY_DIR}/example-signed-40.xml ${kvn_creds}/test-csd-1024.key
          ${kvn_creds}/test-csd-1024.cer test-password)
set_tests_properties(example_sign_and_verify_cfdi40 PROPERTIES PASS_REGULAR_EXPRESSION "seal verified")

# The tool's ZIP reader on archives built in the test, and its kept fuzz inputs.
find_package(ZLIB REQUIRED)
add_executable(test_zip_reader ${CMAKE_CURRENT_SOURCE_DIR}/tools/zip/zip_reader_test.cpp
               ${CMAKE_SOURCE_DIR}/tools/kelvane/zip_reader.cpp)
target_link_libraries(test_zip_reader PRIVATE GTest::gtest GTest::gtest_main ZLIB::ZLIB)
target_compile_definitions(test_zip_reader PRIVATE ${KVN_TEST_DEFS})
gtest_discover_tests(test_zip_reader DISCOVERY_TIMEOUT 120)
