# DTD validation of arbitrary documents against the CFDI 3.2 DTD. The parser, the validator
# and the validation driver are compiled into the target so that libFuzzer sees their
# coverage; the rest of the library comes from the archive. Crashing inputs go to
# fuzz/regressions/validate/, which tests/cfdi replays.
# Run: build/fuzz/fuzz/validate_fuzz -max_total_time=900 -max_len=65536 <corpus-dir>
file(GLOB validate_fuzz_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/xml/*.cpp ${CMAKE_SOURCE_DIR}/src/base/*.cpp)
add_executable(validate_fuzz ${CMAKE_CURRENT_LIST_DIR}/validate_fuzz.cpp ${validate_fuzz_sources}
  ${CMAKE_SOURCE_DIR}/src/cfdi/validate.cpp ${CMAKE_SOURCE_DIR}/src/cfdi/dtd_catalogue.cpp ${KVN_EMBEDDED})
target_include_directories(validate_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(validate_fuzz PRIVATE kvn_static)
target_compile_options(validate_fuzz PRIVATE -fsanitize=fuzzer)
target_link_options(validate_fuzz PRIVATE -fsanitize=fuzzer)
