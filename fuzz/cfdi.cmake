# Readers of the invoice layer over arbitrary documents: the attribute query (with version
# detection and the signature-attribute readers), the pipe string in every mode, and the
# signed-document writer. Seeds: tests/fixtures/invoices/*.xml. Crashing inputs go to
# fuzz/regressions/<target>/, which tests/cfdi replays.
# Run: build/fuzz/fuzz/cfdi_attribute_query -max_total_time=900 -max_len=16384 <corpus-dir> tests/fixtures/invoices
foreach(target cfdi_attribute_query cfdi_pipe_string cfdi_signed_writer)
  kvn_fuzz_target(${target} ${CMAKE_CURRENT_LIST_DIR}/${target}.cpp)
endforeach()
