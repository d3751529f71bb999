#include "BridgePage.h"

#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "PercentEncoding.h"

extern const std::string_view bridgePageTemplate;

namespace BridgePage {

namespace {

using nlohmann::json;

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Linux file names are bytes; invalid UTF-8 sequences become U+FFFD for display.
std::string validUtf8(std::string_view text) {
  return json::parse(json(std::string(text)).dump(-1, ' ', false, json::error_handler_t::replace))
      .get<std::string>();
}

// Compact JSON that is safe inside a script element: neither "</" nor "<!--" can occur,
// since every "/" and "<" is escaped; the values the script reads are unchanged.
std::string configurationText(const json& configuration) {
  std::string text = configuration.dump(-1, ' ', false, json::error_handler_t::replace);
  text = replaceAll(std::move(text), "/", "\\/");
  return replaceAll(std::move(text), "<", "\\u003c");
}

bool isSchemeChar(char c, bool first) {
  bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (first) return letter;
  return letter || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// Characters no address may hold unescaped.
bool hasForbiddenChar(std::string_view url) {
  for (unsigned char c : url) {
    if (c <= 0x20 || c >= 0x7F || std::string_view("<>\"{}|\\^`").find(static_cast<char>(c)) !=
                                       std::string_view::npos) {
      return true;
    }
  }
  return false;
}

// Fills the placeholders of the template only: text that came from the file name is never
// scanned again, so a name holding a placeholder shows as itself.
std::string fillTemplate(const std::vector<std::pair<std::string_view, std::string>>& values) {
  std::string page;
  std::string_view rest = bridgePageTemplate;
  while (!rest.empty()) {
    size_t next = std::string_view::npos;
    const std::pair<std::string_view, std::string>* found = nullptr;
    for (const auto& value : values) {
      size_t at = rest.find(value.first);
      if (at < next) {
        next = at;
        found = &value;
      }
    }
    page += rest.substr(0, next);
    if (!found) break;
    page += found->second;
    rest.remove_prefix(next + found->first.size());
  }
  return page;
}

}  // namespace

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
  size_t hostEnd = authority.front() == '[' ? authority.find(']') : authority.rfind(':');
  if (authority.empty() || (authority.front() == '[' && hostEnd == std::string_view::npos)) {
    return unchanged;
  }
  if (authority.front() == '[') ++hostEnd;
  std::string_view host = authority.substr(0, hostEnd);
  std::string_view portText =
      hostEnd < authority.size() && authority[hostEnd] == ':' ? authority.substr(hostEnd + 1) : "";
  if (host.empty()) return unchanged;
  std::string origin = std::string(url.substr(0, colon)) + "://" + std::string(host);
  if (portText.empty()) return origin;
  if (portText.find_first_not_of("0123456789") != std::string_view::npos) return unchanged;
  unsigned long port = 0;
  for (char digit : portText) {
    port = port * 10 + static_cast<unsigned long>(digit - '0');
    if (port > 65535) return unchanged;
  }
  return origin + ":" + std::to_string(port);
}

std::string htmlEscape(std::string_view text) {
  std::string result(text);
  result = replaceAll(std::move(result), "&", "&amp;");
  result = replaceAll(std::move(result), "<", "&lt;");
  result = replaceAll(std::move(result), ">", "&gt;");
  result = replaceAll(std::move(result), "\"", "&quot;");
  return replaceAll(std::move(result), "'", "&#39;");
}

std::string build(std::string_view viewerBaseUrl, std::string_view fileUrl,
                  std::string_view fileName) {
  const std::string base(viewerBaseUrl);
  const std::string shownName = validUtf8(fileName);
  const std::string iframeUrl = base + "?bridge=1";
  json configuration{{"fileUrl", std::string(fileUrl)},
                     {"fileName", shownName},
                     {"viewerOrigin", originOf(viewerBaseUrl)},
                     {"directUrl", base + "?url=" + percentEncode(fileUrl)}};
  return fillTemplate({{"__TITLE__", htmlEscape(shownName)},
                       {"__IFRAME_SRC__", htmlEscape(iframeUrl)},
                       {"__CONFIG__", configurationText(configuration)}});
}

}  // namespace BridgePage
