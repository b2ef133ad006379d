# Invoice-document tests: libxml2 serves as an independent peer parser.
find_package(LibXml2 REQUIRED)
if(TARGET test_cfdi)
  target_link_libraries(test_cfdi PRIVATE LibXml2::LibXml2)
endif()

# The tax authority's stylesheets, the source of the stylesheet tables and the peer of the
# pipe string (xsltproc).
set(KVN_SAT_DIR "${KVN_CORPUS_DIR}/../sat" CACHE PATH "The tax authority's schemas and stylesheets (holds www.sat.gob.mx/)")
if(TARGET test_cfdi)
  target_compile_definitions(test_cfdi PRIVATE KVN_SAT_DIR="${KVN_SAT_DIR}")
endif()
# The committed stylesheet tables are what the generator makes of the stylesheets.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
  add_test(NAME stylesheet_tables_up_to_date
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/scripts/gen_stylesheet_tables.py
            --sat ${KVN_SAT_DIR} --check ${CMAKE_SOURCE_DIR}/src/cfdi/generated)
  # Likewise the schema tables and the authority's schemas.
  add_test(NAME schema_tables_up_to_date
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/scripts/gen_schema_tables.py
            --sat ${KVN_SAT_DIR} --check ${CMAKE_SOURCE_DIR}/src/cfdi/generated)
  # And the authority's namespace prefixes of the JSON of a document.
  add_test(NAME namespace_prefixes_up_to_date
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/scripts/gen_namespace_prefixes.py
            --sat ${KVN_SAT_DIR} --check ${CMAKE_SOURCE_DIR}/src/cfdi/generated)
endif()

# Differential test of the pipe string: generated documents of every version and complement,
# the authority's stylesheets run by xsltproc against KVN_MakePipeStringFromXml. A larger run
# by hand: KVN_DIFFERENTIAL_COUNT=3000 KVN_DIFFERENTIAL_SEED=<n> ctest -R pipe_differential
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_executable(pipe_differential ${CMAKE_CURRENT_SOURCE_DIR}/cfdi/differential/pipe_differential.cpp)
target_link_libraries(pipe_differential PRIVATE kelvane)
add_test(NAME pipe_differential
  COMMAND pipe_differential --python ${Python3_EXECUTABLE}
          --generator ${CMAKE_CURRENT_SOURCE_DIR}/cfdi/differential/gen_documents.py
          --sat ${KVN_SAT_DIR} --out ${CMAKE_BINARY_DIR}/differential)
set_tests_properties(pipe_differential PROPERTIES TIMEOUT 600)

# The tax authority's catalogs as CSV: the source of the built-in catalog snapshot. The
# committed tables are what the generator makes of them; the module tests read the folder
# as a user's catalog folder and compare.
set(KVN_CATALOGS_DIR "${KVN_CORPUS_DIR}/../catalogs" CACHE PATH "The tax authority's catalogs as CSV")
if(TARGET test_cfdi)
  target_compile_definitions(test_cfdi PRIVATE KVN_CATALOGS_DIR="${KVN_CATALOGS_DIR}")
endif()
add_test(NAME catalog_tables_up_to_date
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/gen_catalog_tables.py
          --catalogs ${KVN_CATALOGS_DIR} --check ${CMAKE_SOURCE_DIR}/src/cfdi/generated)

# Differential test of CFDI 3.3 and 4.0 validation: generated documents (valid, and one
# mutation each) and the corpus, validated by libxml2's XML Schema validator (xmllint
# --schema, with a catCFDI.xsd built from the catalogs) and by the library; verdicts and the
# place of the first error must agree. A larger run by hand:
#   KVN_DIFFERENTIAL_COUNT=2000 KVN_DIFFERENTIAL_SEED=<n> ctest -R schema_differential
find_program(KVN_XMLLINT xmllint REQUIRED)
add_test(NAME schema_differential
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/cfdi/differential/schema_differential.py
          --library $<TARGET_FILE:kelvane> --xmllint ${KVN_XMLLINT} --sat ${KVN_SAT_DIR}
          --catalogs ${KVN_CATALOGS_DIR} --corpus ${KVN_CORPUS_DIR} --out ${CMAKE_BINARY_DIR}/schema_differential)
set_tests_properties(schema_differential PROPERTIES TIMEOUT 600)

# The schema generator: its pattern automata, and the constructs it refuses.
add_test(NAME schema_generator
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/cfdi/schema_generator_test.py ${KVN_SAT_DIR})
# Python loads a sanitized library through ctypes: the sanitizer's runtime must be loaded
# first (libstdc++ too, so that the runtime finds the C++ exception functions it
# intercepts), and the interpreter's own allocations at exit are not the library's leaks.
set(KVN_SANITIZER_RUNTIME "")
if(KVN_SANITIZE)
  set(KVN_SANITIZER_RUNTIME libasan.so)
elseif(CMAKE_CXX_FLAGS MATCHES "sanitize=thread")
  set(KVN_SANITIZER_RUNTIME libtsan.so)
endif()
if(KVN_SANITIZER_RUNTIME)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${KVN_SANITIZER_RUNTIME}
                  OUTPUT_VARIABLE KVN_RUNTIME_PATH OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++.so
                  OUTPUT_VARIABLE KVN_CXX_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
  set_tests_properties(schema_differential PROPERTIES
    ENVIRONMENT "LD_PRELOAD=${KVN_RUNTIME_PATH}:${KVN_CXX_RUNTIME};ASAN_OPTIONS=detect_leaks=0")
endif()
