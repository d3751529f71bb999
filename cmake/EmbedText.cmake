# vexmoor_embed_text(TARGET FILE SYMBOL): compiles FILE into TARGET as
# `extern const std::string_view SYMBOL;`, byte for byte. One final line break is dropped,
# so the file can be edited with an ordinary editor.
function(vexmoor_embed_text target file symbol)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/embedded/${symbol}.cpp)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${file} -DOUTPUT=${output} -DSYMBOL=${symbol}
            -P ${PROJECT_SOURCE_DIR}/cmake/EmbedTextScript.cmake
    DEPENDS ${file} ${PROJECT_SOURCE_DIR}/cmake/EmbedTextScript.cmake
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
endfunction()
