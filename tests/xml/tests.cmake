# W3C XML conformance suite against our parser (its own binary: it reads ~2000 files).
# The suite comes from KVN_XMLCONF_DIR; a missing directory fails the test.
add_executable(test_xml_conformance ${CMAKE_CURRENT_LIST_DIR}/conformance/xmlconf_runner.cpp)
target_link_libraries(test_xml_conformance PRIVATE kvn_static GTest::gtest GTest::gtest_main)
target_compile_definitions(test_xml_conformance PRIVATE ${KVN_TEST_DEFS}
  KVN_XMLCONF_DEVIATIONS="${CMAKE_CURRENT_LIST_DIR}/conformance/deviations.txt")
gtest_discover_tests(test_xml_conformance DISCOVERY_TIMEOUT 120)

# The developer tool reports errors as the library formats them.
add_test(NAME xmlcheck_reports_error
  COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:xmlcheck> -DDIR=${CMAKE_CURRENT_BINARY_DIR}
          -P ${CMAKE_CURRENT_LIST_DIR}/conformance/xmlcheck_test.cmake)
