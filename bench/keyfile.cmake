# What one key file can cost: key files at the iteration caps of each key derivation, read
# by us and by OpenSSL's libcrypto, with the right password and a wrong one (which adds
# the retry of a mislabelled PRF).
# Build: cmake --preset bench && cmake --build build/bench --target keyfile_cost_bench
# Run:   build/bench/bench/keyfile_cost_bench   (a table of CPU times per file at the end)
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/keyfile_cost_bench.cpp)
  add_executable(keyfile_cost_bench ${CMAKE_CURRENT_SOURCE_DIR}/keyfile_cost_bench.cpp)
  target_link_libraries(keyfile_cost_bench PRIVATE kvn_static benchmark::benchmark OpenSSL::Crypto)
  target_compile_definitions(keyfile_cost_bench PRIVATE KVN_FIXTURES_DIR="${CMAKE_SOURCE_DIR}/tests/fixtures")
endif()
