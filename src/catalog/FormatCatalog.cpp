#include <QString>
#include <nlohmann/json.hpp>

#include "BuildInfo.h"
#include "Catalog.h"
#include "DefaultsStore.h"

extern const std::string_view embeddedCatalogText;

namespace {

using nlohmann::json;

const json& member(const json& object, const char* key, json::value_t type) {
  const json& value = object.at(key);
  if (value.type() != type) throw std::invalid_argument(key);
  return value;
}

std::string stringMember(const json& object, const char* key) {
  return member(object, key, json::value_t::string).get<std::string>();
}

CatalogFormat formatFrom(const json& object) {
  if (!object.is_object()) throw std::invalid_argument("format");
  CatalogFormat format{stringMember(object, "id"), stringMember(object, "name"), stringMember(object, "category"), {}};
  for (const auto& extension : member(object, "extensions", json::value_t::array)) {
    if (!extension.is_string()) throw std::invalid_argument("extension");
    format.extensions.push_back(extension.get<std::string>());
  }
  return format;
}

}  // namespace

std::vector<std::string> Catalog::allExtensions() const {
  std::vector<std::string> result;
  for (const auto& format : formats) {
    for (const auto& extension : format.extensions) {
      result.push_back(QString::fromStdString(extension).toLower().toStdString());
    }
  }
  return result;
}

namespace FormatCatalog {

std::optional<Catalog> parse(std::string_view data) {
  auto document = json::parse(data, nullptr, false);
  if (!document.is_object()) return std::nullopt;
  try {
    Catalog catalog{stringMember(document, "viewerUrl"), {}};
    for (const auto& format : member(document, "formats", json::value_t::array)) {
      catalog.formats.push_back(formatFrom(format));
    }
    if (catalog.formats.empty()) return std::nullopt;
    if (!catalog.viewerUrl.empty() && !isUsableViewerUrl(catalog.viewerUrl)) return std::nullopt;
    return catalog;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::string_view embeddedDefault() { return embeddedCatalogText; }

std::string defaultViewerUrl() { return std::string(BuildInfo::viewerSite) + "/tools/3d-viewer"; }

std::string defaultEndpoint() { return std::string(BuildInfo::viewerSite) + "/api/viewer-formats"; }

Catalog load(DefaultsStore& defaults) {
  if (auto fetched = tryFetch(defaults)) return *fetched;
  if (auto cached = defaults.string(cacheKey)) {
    if (auto catalog = parse(*cached)) return *catalog;
  }
  return parse(embeddedDefault()).value();
}

std::string viewerUrl(const DefaultsStore& defaults) {
  auto cached = defaults.string(cacheKey);
  auto catalog = cached ? parse(*cached) : std::nullopt;
  if (!catalog || !isUsableViewerUrl(catalog->viewerUrl)) return defaultViewerUrl();
  return catalog->viewerUrl;
}

}  // namespace FormatCatalog
