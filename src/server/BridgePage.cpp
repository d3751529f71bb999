#include "BridgePage.h"

#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "Text.h"

extern const std::string_view bridgePageTemplate;

namespace BridgePage {

namespace {

using nlohmann::json;
using Text::replaceAll;

// Linux file names are bytes; invalid UTF-8 sequences become U+FFFD for display.
std::string validUtf8(std::string_view text) {
  return json::parse(json(std::string(text)).dump(-1, ' ', false, json::error_handler_t::replace)).get<std::string>();
}

// Compact JSON that is safe inside a script element: neither "</" nor "<!--" can occur,
// since every "/" and "<" is escaped; the values the script reads are unchanged.
std::string configurationText(const json& configuration) {
  std::string text = configuration.dump(-1, ' ', false, json::error_handler_t::replace);
  text = replaceAll(std::move(text), "/", "\\/");
  return replaceAll(std::move(text), "<", "\\u003c");
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

std::string htmlEscape(std::string_view text) {
  std::string result(text);
  result = replaceAll(std::move(result), "&", "&amp;");
  result = replaceAll(std::move(result), "<", "&lt;");
  result = replaceAll(std::move(result), ">", "&gt;");
  result = replaceAll(std::move(result), "\"", "&quot;");
  return replaceAll(std::move(result), "'", "&#39;");
}

std::string build(std::string_view viewerBaseUrl, std::string_view fileUrl, std::string_view fileName,
                  std::string_view builtinViewerUrl) {
  const std::string shownName = validUtf8(fileName);
  const std::string iframeUrl = withQueryParameter(viewerBaseUrl, "bridge", "1");
  const bool hostedChosen = builtinViewerUrl.empty() || viewerBaseUrl != builtinViewerUrl;
  const bool hasBuiltin = !builtinViewerUrl.empty();
  json configuration{
      {"fileUrl", std::string(fileUrl)},
      {"fileName", shownName},
      {"viewerOrigin", originOf(viewerBaseUrl)},
      {"directUrl", withQueryParameter(viewerBaseUrl, "url", fileUrl)},
      {"probeUrl", hostedChosen ? std::string(viewerBaseUrl) : std::string()},
      {"builtinFrameUrl", hasBuiltin ? withQueryParameter(builtinViewerUrl, "bridge", "1") : std::string()},
      {"builtinOrigin", hasBuiltin ? originOf(builtinViewerUrl) : std::string()},
      {"builtinDirectUrl", hasBuiltin ? withQueryParameter(builtinViewerUrl, "url", fileUrl) : std::string()}};
  return fillTemplate({{"__TITLE__", htmlEscape(shownName)},
                       {"__IFRAME_SRC__", htmlEscape(iframeUrl)},
                       {"__CONFIG__", configurationText(configuration)}});
}

}  // namespace BridgePage
