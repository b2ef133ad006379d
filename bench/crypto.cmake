# Cryptographic primitives, ours against OpenSSL's libcrypto on the same inputs.
# Build: cmake --preset bench && cmake --build build/bench --target crypto_bench
# Run:   build/bench/bench/crypto_bench   (prints the ours/OpenSSL ratios at the end)
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/crypto_bench.cpp)
  add_executable(crypto_bench ${CMAKE_CURRENT_SOURCE_DIR}/crypto_bench.cpp)
  target_link_libraries(crypto_bench PRIVATE kvn_static benchmark::benchmark OpenSSL::Crypto)
endif()
