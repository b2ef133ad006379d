# XML parser throughput on a large invoice-shaped document, side by side with libxml2's
# SAX2 parser and expat (peers linked by the benchmark only).
find_package(LibXml2 REQUIRED)
find_package(EXPAT REQUIRED)
add_executable(xml_bench ${CMAKE_CURRENT_LIST_DIR}/xml_bench.cpp)
target_link_libraries(xml_bench PRIVATE kvn_static benchmark::benchmark LibXml2::LibXml2 EXPAT::EXPAT)
