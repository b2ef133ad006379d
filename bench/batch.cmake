# `kelvane sign` over a folder of generated CFDI 4.0 invoices with -j 2, against the limit
# OpenSSL's RSA sets, bare KVN_SignXml calls and a signing session on 1, 2 and 4 threads.
add_executable(batch_bench ${CMAKE_CURRENT_LIST_DIR}/batch_bench.cpp)
target_link_libraries(batch_bench PRIVATE kelvane Threads::Threads OpenSSL::Crypto)
target_compile_definitions(batch_bench PRIVATE KVN_FIXTURES_DIR="${CMAKE_SOURCE_DIR}/tests/fixtures"
                                               KVN_TOOL="$<TARGET_FILE:kelvane_cli>")
add_dependencies(batch_bench kelvane_cli)
