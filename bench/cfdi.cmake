# Pipe string of generated CFDI 3.2 and 4.0 documents, ours against a libxml2 SAX2 pipeline
# and against libxslt running the tax authority's stylesheet in process.
find_package(LibXml2 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBXSLT REQUIRED IMPORTED_TARGET libxslt)
set(KVN_SAT_DIR "${KVN_CORPUS_DIR}/../sat" CACHE PATH "The tax authority's schemas and stylesheets (holds www.sat.gob.mx/)")
add_executable(pipestring_bench ${CMAKE_CURRENT_SOURCE_DIR}/pipestring_bench.cpp)
# The static archive: the same code as the shared library, with the parser reachable for
# the parser-only baseline.
target_link_libraries(pipestring_bench PRIVATE kvn_static benchmark::benchmark LibXml2::LibXml2 PkgConfig::LIBXSLT)
target_compile_definitions(pipestring_bench PRIVATE KVN_SAT_DIR="${KVN_SAT_DIR}")
