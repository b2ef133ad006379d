# The reader of a user's catalog files (CSV). Seeds: the catalogs of ../shared/catalogs.
# Crashing inputs go to fuzz/regressions/catalog_csv/, which tests/cfdi replays.
# Run: build/fuzz/fuzz/catalog_csv -max_total_time=900 -max_len=4096 <corpus-dir> ../shared/catalogs
kvn_fuzz_target(catalog_csv ${CMAKE_CURRENT_LIST_DIR}/catalog_csv.cpp)
