#pragma once

#include <string>
#include <string_view>

namespace Text {

// Every occurrence of `from` replaced by `to`; replaced text is never scanned again.
inline std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Lower case for ASCII letters only: names and hosts compare the same in every locale.
inline std::string asciiLowercase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The text with every control character (C0, DEL, and C1 as UTF-8 writes them) shown as '?',
// cut after `limit` bytes: written to a terminal, they could move the cursor, rewrite what
// the user reads or forge a line of output.
inline std::string printable(const std::string& text, size_t limit = std::string::npos) {
  std::string result;
  for (size_t at = 0; at < text.size() && at < limit; ++at) {
    auto c = static_cast<unsigned char>(text[at]);
    bool c1 = c == 0xc2 && at + 1 < text.size() && static_cast<unsigned char>(text[at + 1]) < 0xa0;
    result += c < 0x20 || c == 0x7f || c1 ? '?' : text[at];
    if (c1) ++at;
  }
  return text.size() > limit ? result + "..." : result;
}

}  // namespace Text
