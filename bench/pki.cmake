# Certificates and keys, ours against OpenSSL's libcrypto on the same files.
# Build: cmake --preset bench && cmake --build build/bench --target pki_bench
# Run:   build/bench/bench/pki_bench   (prints the ours/OpenSSL ratios at the end)
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/pki_bench.cpp)
  add_executable(pki_bench ${CMAKE_CURRENT_SOURCE_DIR}/pki_bench.cpp)
  target_link_libraries(pki_bench PRIVATE kvn_static benchmark::benchmark OpenSSL::Crypto)
  target_compile_definitions(pki_bench PRIVATE KVN_FIXTURES_DIR="${CMAKE_SOURCE_DIR}/tests/fixtures")
endif()
