# Schema validation of CFDI 3.3 and 4.0 over arbitrary documents. Seeds: the valid fixtures
# and the corpus' 3.3 and 4.0 invoices. Crashing inputs go to fuzz/regressions/schema_validate/,
# which tests/cfdi replays.
# Run: build/fuzz/fuzz/schema_validate -max_total_time=900 -max_len=65536 <corpus-dir> \
#        tests/fixtures/validation ../shared/corpus/cfdi40 ../shared/corpus/cfdi33
kvn_fuzz_target(schema_validate ${CMAKE_CURRENT_LIST_DIR}/schema_validate.cpp)
