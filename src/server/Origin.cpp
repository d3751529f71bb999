#include <string>
#include <string_view>

#include "BridgePage.h"

// Kept apart from the page builder so the fuzzer can take it alone: its input may come
// from a downloaded catalog.
namespace BridgePage {

namespace {

bool isSchemeChar(char c, bool first) {
  bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (first) return letter;
  return letter || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// Characters no address may hold unescaped.
bool hasForbiddenChar(std::string_view url) {
  for (unsigned char c : url) {
    if (c <= 0x20 || c >= 0x7F ||
        std::string_view("<>\"{}|\\^`").find(static_cast<char>(c)) != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

std::string lowercased(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

}  // namespace

// As browsers write an origin: scheme and host in lower case, no port where it is the
// scheme's own, so that the viewer's messages are recognised.
std::string originOf(std::string_view url) {
  const std::string unchanged(url);
  size_t colon = url.find(':');
  if (colon == 0 || colon == std::string_view::npos || hasForbiddenChar(url)) return unchanged;
  for (size_t i = 0; i < colon; ++i) {
    if (!isSchemeChar(url[i], i == 0)) return unchanged;
  }
  if (url.substr(colon + 1, 2) != "//") return unchanged;
  std::string_view authority = url.substr(colon + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (auto at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  if (authority.empty()) return unchanged;
  size_t hostEnd = authority.front() == '[' ? authority.find(']') : authority.rfind(':');
  if (authority.front() == '[' && hostEnd == std::string_view::npos) return unchanged;
  if (authority.front() == '[') ++hostEnd;
  std::string_view host = authority.substr(0, hostEnd);
  std::string_view portText =
      hostEnd < authority.size() && authority[hostEnd] == ':' ? authority.substr(hostEnd + 1) : "";
  if (host.empty()) return unchanged;
  std::string scheme = lowercased(url.substr(0, colon));
  std::string origin = scheme + "://" + lowercased(host);
  if (portText.empty()) return origin;
  if (portText.find_first_not_of("0123456789") != std::string_view::npos) return unchanged;
  unsigned long port = 0;
  for (char digit : portText) {
    port = port * 10 + static_cast<unsigned long>(digit - '0');
    if (port > 65535) return unchanged;
  }
  if ((scheme == "https" && port == 443) || (scheme == "http" && port == 80)) return origin;
  return origin + ":" + std::to_string(port);
}

}  // namespace BridgePage
