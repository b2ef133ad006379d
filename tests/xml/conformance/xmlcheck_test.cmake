# xmlcheck prints "file:line:column: error code: message" and exits 1 on a broken file,
# exits 0 on a good one.
file(WRITE ${DIR}/xmlcheck_bad.xml "<a>\n  <b></a>\n")
file(WRITE ${DIR}/xmlcheck_good.xml "<a><b/></a>\n")
execute_process(COMMAND ${TOOL} ${DIR}/xmlcheck_bad.xml RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 1 OR NOT out MATCHES "xmlcheck_bad.xml:2:10: error 10: Expected 'b', found 'a'")
  message(FATAL_ERROR "unexpected result ${rc}: ${out}")
endif()
execute_process(COMMAND ${TOOL} ${DIR}/xmlcheck_good.xml RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "")
  message(FATAL_ERROR "unexpected result ${rc}: ${out}")
endif()
