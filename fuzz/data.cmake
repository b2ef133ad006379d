# Documents as data: the JSON writer and the table rows over arbitrary documents (seeds:
# tests/fixtures/invoices/*.xml), and the tool's ZIP reader over arbitrary archives (seeds:
# any ZIP of invoices, e.g. made with python3 -m zipfile -c seed.zip tests/fixtures/invoices).
# Crashing inputs go to fuzz/regressions/<target>/, which tests/cfdi and tests/tools replay.
# Run: build/fuzz/fuzz/data_json -max_total_time=900 -max_len=16384 <corpus-dir> tests/fixtures/invoices
#      build/fuzz/fuzz/zip_reader -max_total_time=900 -max_len=65536 <corpus-dir> <seed-dir>
kvn_fuzz_target(data_json ${CMAKE_CURRENT_LIST_DIR}/data_json.cpp)
find_package(ZLIB REQUIRED)
add_executable(zip_reader ${CMAKE_CURRENT_LIST_DIR}/zip_reader.cpp ${CMAKE_SOURCE_DIR}/tools/kelvane/zip_reader.cpp)
target_link_libraries(zip_reader PRIVATE ZLIB::ZLIB)
target_compile_options(zip_reader PRIVATE -fsanitize=fuzzer)
target_link_options(zip_reader PRIVATE -fsanitize=fuzzer)
