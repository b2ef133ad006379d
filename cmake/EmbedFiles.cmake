# kvn_embed_directory(OUT_VAR DIR GLOB): turns every file of DIR matching GLOB into a
# generated C++ source defining `extern const unsigned char kvn_embed_<name>[]` and
# `extern const unsigned long kvn_embed_<name>_size` (name: file name, non-alphanumerics
# replaced by '_'). OUT_VAR receives the list of generated sources.
function(kvn_embed_directory out_var dir pattern)
  file(GLOB files CONFIGURE_DEPENDS "${dir}/${pattern}")
  set(generated "")
  foreach(f IN LISTS files)
    get_filename_component(name "${f}" NAME)
    string(MAKE_C_IDENTIFIER "${name}" id)
    set(out "${CMAKE_BINARY_DIR}/embedded/${id}.cpp")
    add_custom_command(OUTPUT "${out}"
      COMMAND ${CMAKE_COMMAND} -DIN=${f} -DOUT=${out} -DID=${id} -P ${CMAKE_SOURCE_DIR}/cmake/EmbedOne.cmake
      DEPENDS "${f}" ${CMAKE_SOURCE_DIR}/cmake/EmbedOne.cmake VERBATIM)
    list(APPEND generated "${out}")
  endforeach()
  set(${out_var} ${generated} PARENT_SCOPE)
endfunction()
