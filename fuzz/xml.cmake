# XML parser with the DTD reader. Crashing inputs go to fuzz/regressions/xml_parse/, which
# tests/xml replays.
# Run: build/fuzz/fuzz/xml_parse -max_total_time=900 -max_len=4096 <corpus-dir>
kvn_fuzz_target(xml_parse ${CMAKE_CURRENT_LIST_DIR}/xml_parse.cpp)
