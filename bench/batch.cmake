# `kelvane sign` over a folder of generated CFDI 3.2 invoices with -j 2, against the same
# library calls made bare on two threads and against one tool process per file.
add_executable(batch_bench ${CMAKE_CURRENT_LIST_DIR}/batch_bench.cpp)
target_link_libraries(batch_bench PRIVATE kelvane Threads::Threads)
target_compile_definitions(batch_bench PRIVATE KVN_FIXTURES_DIR="${CMAKE_SOURCE_DIR}/tests/fixtures"
                                               KVN_TOOL="$<TARGET_FILE:kelvane_cli>")
add_dependencies(batch_bench kelvane_cli)
