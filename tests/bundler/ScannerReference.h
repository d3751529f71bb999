#pragma once

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <string>
#include <vector>

// What the texture scanner must find, computed the slow, obvious way: the file turned into
// text, then the regular expression run over it by PCRE2. Shared by tests and benchmarks.
namespace ScannerReference {

// Each byte (UnitBytes 1) or little-endian 16-bit unit at an even offset (UnitBytes 2)
// becomes itself when printable ASCII, a line feed otherwise.
template <size_t UnitBytes>
std::string textView(const std::string& bytes) {
  std::string text(bytes.size() / UnitBytes, '\n');
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned value = static_cast<unsigned char>(bytes[i * UnitBytes]);
    if (UnitBytes == 2) value |= static_cast<unsigned char>(bytes[2 * i + 1]) << 8;
    if (value >= 0x20 && value <= 0x7E) text[i] = static_cast<char>(value);
  }
  return text;
}

// Every non-overlapping match, left to right.
inline std::vector<std::string> pcre2Matches(const std::string& text) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  auto* code = pcre2_compile(
      reinterpret_cast<PCRE2_SPTR>("[^\\x00-\\x1f\"<>|*?\\n]{1,240}\\.(png|jpe?g|bmp|gif|webp|tga|dds|tif)"),
      PCRE2_ZERO_TERMINATED, PCRE2_CASELESS, &error, &offset, nullptr);
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  auto* data = pcre2_match_data_create_from_pattern(code, nullptr);
  std::vector<std::string> matches;
  PCRE2_SIZE start = 0;
  while (pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), start, 0, data, nullptr) >= 0) {
    PCRE2_SIZE* range = pcre2_get_ovector_pointer(data);
    matches.push_back(text.substr(range[0], range[1] - range[0]));
    start = range[1];
  }
  pcre2_match_data_free(data);
  pcre2_code_free(code);
  return matches;
}

}  // namespace ScannerReference
