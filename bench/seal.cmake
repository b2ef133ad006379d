# Signing and verifying a 50-concept CFDI 3.2 invoice with a 2048-bit key, end to end and
# step by step, side by side with a libxml2 + OpenSSL pipeline (peers linked here only).
find_package(LibXml2 REQUIRED)
add_executable(seal_bench ${CMAKE_CURRENT_LIST_DIR}/seal_bench.cpp)
target_link_libraries(seal_bench PRIVATE kvn_static benchmark::benchmark LibXml2::LibXml2 OpenSSL::Crypto)
target_compile_definitions(seal_bench PRIVATE KVN_FIXTURES_DIR="${CMAKE_SOURCE_DIR}/tests/fixtures")
