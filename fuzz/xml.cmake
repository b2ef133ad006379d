# XML parser with the DTD reader. The parser's own sources are compiled into the target so
# that libFuzzer sees their coverage. Crashing inputs go to fuzz/regressions/xml_parse/,
# which tests/xml replays.
# Run: build/fuzz/fuzz/xml_parse -max_total_time=900 -max_len=4096 <corpus-dir>
file(GLOB xml_fuzz_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/xml/*.cpp ${CMAKE_SOURCE_DIR}/src/base/*.cpp)
add_executable(xml_parse ${CMAKE_CURRENT_LIST_DIR}/xml_parse.cpp ${xml_fuzz_sources})
target_include_directories(xml_parse PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/include)
target_compile_options(xml_parse PRIVATE -fsanitize=fuzzer)
target_link_options(xml_parse PRIVATE -fsanitize=fuzzer)
