# Invoice-document tests: libxml2 serves as an independent peer parser.
find_package(LibXml2 REQUIRED)
if(TARGET test_cfdi)
  target_link_libraries(test_cfdi PRIVATE LibXml2::LibXml2)
endif()
