# PKI readers: asn_Read (through pki_ReadObject), key_ReadEncrypted with a fixed password,
# and the X.509 readers. The PKI, crypto and base sources are compiled into each target so
# that libFuzzer sees their coverage. Crashing inputs go to fuzz/regressions/pki_<name>/,
# which tests/pki replays.
# Run: build/fuzz/fuzz/pki_asn1 -max_total_time=600 -max_len=4096 <corpus-dir>
file(GLOB pki_fuzz_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/pki/*.cpp ${CMAKE_SOURCE_DIR}/src/crypto/*.cpp
     ${CMAKE_SOURCE_DIR}/src/base/*.cpp)
foreach(target pki_asn1 pki_keyfile pki_x509)
  add_executable(${target} ${CMAKE_CURRENT_LIST_DIR}/${target}.cpp ${pki_fuzz_sources})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/include)
  target_compile_options(${target} PRIVATE -fsanitize=fuzzer)
  target_link_options(${target} PRIVATE -fsanitize=fuzzer)
endforeach()
