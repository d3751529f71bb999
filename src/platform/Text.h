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

}  // namespace Text
