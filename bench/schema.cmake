# KVN_ValidateXml on generated CFDI 4.0 invoices against libxml2's XML Schema validation with
# the authority's schemas (the differential test's peer tree, made on first run).
find_package(LibXml2 REQUIRED)
add_executable(schema_bench ${CMAKE_CURRENT_SOURCE_DIR}/schema_bench.cpp)
target_link_libraries(schema_bench PRIVATE kelvane benchmark::benchmark LibXml2::LibXml2)
target_compile_definitions(schema_bench PRIVATE
  KVN_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
  KVN_SAT_DIR="${CMAKE_SOURCE_DIR}/../shared/sat"
  KVN_CATALOGS_DIR="${CMAKE_SOURCE_DIR}/../shared/catalogs")
