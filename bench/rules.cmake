# The rules' share of CFDI 4.0 validation: the schema pass alone against the schema pass with
# the rule families, on the same generated invoice (the module API, so the static archive).
add_executable(rules_bench ${CMAKE_CURRENT_SOURCE_DIR}/rules_bench.cpp)
target_link_libraries(rules_bench PRIVATE kvn_static benchmark::benchmark)
