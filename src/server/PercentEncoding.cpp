#include "PercentEncoding.h"

std::string percentEncode(std::string_view bytes, std::string_view allowed) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(bytes.size());
  for (char c : bytes) {
    if (allowed.find(c) != std::string_view::npos) {
      result += c;
    } else {
      auto byte = static_cast<unsigned char>(c);
      result += '%';
      result += hex[byte >> 4];
      result += hex[byte & 0xF];
    }
  }
  return result;
}
