# DTD validation of arbitrary documents against the CFDI 3.2 DTD. Crashing inputs go to
# fuzz/regressions/validate/, which tests/cfdi replays.
# Run: build/fuzz/fuzz/validate_fuzz -max_total_time=900 -max_len=65536 <corpus-dir>
kvn_fuzz_target(validate_fuzz ${CMAKE_CURRENT_LIST_DIR}/validate_fuzz.cpp)
