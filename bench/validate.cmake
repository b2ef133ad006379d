# KVN_ValidateXml and its DTD pass on generated CFDI 3.2 documents, against libxml2's
# validating parse with the same DTD.
find_package(LibXml2 REQUIRED)
add_executable(validate_bench ${CMAKE_CURRENT_SOURCE_DIR}/validate_bench.cpp)
target_link_libraries(validate_bench PRIVATE kvn_static benchmark::benchmark LibXml2::LibXml2)
