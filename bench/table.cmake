# `kelvane table` over generated CFDI 4.0 invoices (folder and ZIP) against `kelvane verify`.
add_executable(table_bench ${CMAKE_CURRENT_LIST_DIR}/table_bench.cpp)
target_compile_definitions(table_bench PRIVATE KVN_FIXTURES_DIR="${CMAKE_SOURCE_DIR}/tests/fixtures"
                                               KVN_TOOL="$<TARGET_FILE:kelvane_cli>")
add_dependencies(table_bench kelvane_cli)
