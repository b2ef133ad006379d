# Pipe string of generated CFDI 3.2 documents, ours against a libxml2 SAX2 pipeline.
find_package(LibXml2 REQUIRED)
add_executable(pipestring_bench ${CMAKE_CURRENT_SOURCE_DIR}/pipestring_bench.cpp)
# The static archive: the same code as the shared library, with the parser reachable for
# the parser-only baseline.
target_link_libraries(pipestring_bench PRIVATE kvn_static benchmark::benchmark LibXml2::LibXml2)
