file(READ ${INPUT} hex HEX)
string(REGEX REPLACE "0a$" "" hex "${hex}")
string(LENGTH "${hex}" hex_length)
math(EXPR byte_count "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE ${OUTPUT} "#include <string_view>\n"
  "namespace { constexpr char bytes[] = {${bytes} '\\0'}; }\n"
  "extern const std::string_view ${SYMBOL};\n"
  "const std::string_view ${SYMBOL}(bytes, ${byte_count});\n")
