# Pipe string of generated CFDI 3.2 documents, ours against a libxml2 SAX2 pipeline.
find_package(LibXml2 REQUIRED)
add_executable(pipestring_bench ${CMAKE_CURRENT_SOURCE_DIR}/pipestring_bench.cpp)
target_link_libraries(pipestring_bench PRIVATE kelvane benchmark::benchmark LibXml2::LibXml2)
