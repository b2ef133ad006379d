# XML parser with the DTD reader. Crashing inputs go to fuzz/regressions/xml_parse/,
# which tests/xml replays.
kvn_fuzz_target(xml_parse ${CMAKE_CURRENT_LIST_DIR}/xml_parse.cpp)
