# Schema and rule validation of every kind with schemas (CFDI 3.3 and 4.0, Retenciones) over
# arbitrary documents. Seeds: the valid fixtures and the corpus' documents of those kinds. Crashing inputs go to fuzz/regressions/schema_validate/,
# which tests/cfdi replays.
# Run: build/fuzz/fuzz/schema_validate -max_total_time=900 -max_len=65536 <corpus-dir> \
#        tests/fixtures/validation tests/fixtures/rules ../shared/corpus/cfdi40 ../shared/corpus/cfdi33 \
#        ../shared/corpus/retenciones10 ../shared/corpus/retenciones20
kvn_fuzz_target(schema_validate ${CMAKE_CURRENT_LIST_DIR}/schema_validate.cpp)
