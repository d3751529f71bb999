#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class DefaultsStore;

struct CatalogFormat {
  std::string id;
  std::string name;
  std::string category;
  std::vector<std::string> extensions;  // as written, without the dot
};

// The viewer's own list of the formats it opens, and the address of the viewer page.
struct Catalog {
  std::string viewerUrl;
  std::vector<CatalogFormat> formats;  // never empty in a parsed catalog

  // Every format's extensions in catalog order, lower-cased; duplicates kept.
  std::vector<std::string> allExtensions() const;
};

namespace FormatCatalog {

inline constexpr const char* cacheKey = "CachedCatalog";
inline constexpr const char* endpointOverride = "VEXMOOR_FORMATS_URL";
// Certificates trusted for the download instead of the system's, so tests can serve https.
inline constexpr const char* trustedCertificatesOverride = "VEXMOOR_FORMATS_CA_FILE";

// Strict: every key present and of its type, at least one format, a viewer address that is
// empty (the default) or usable; extra keys ignored.
std::optional<Catalog> parse(std::string_view data);

// An absolute https address with a host and no user information, or http to this machine;
// the host written as browsers write it (ASCII name, dotted-decimal IPv4, shortest IPv6).
bool isUsableViewerUrl(const std::string& text);

// The catalog compiled into the program; it always parses.
std::string_view embeddedDefault();
std::string defaultViewerUrl();
std::string defaultEndpoint();

// One download, holding the caller for at most about 12 seconds whatever the network
// does. A body that parses is cached, exactly as received.
std::optional<Catalog> tryFetch(DefaultsStore& defaults);

// The downloaded catalog, else the cached one, else the embedded default.
Catalog load(DefaultsStore& defaults);

// The viewer page address from the cached catalog when it is usable (an earlier build may
// have cached any), or the default; never uses the network.
std::string viewerUrl(const DefaultsStore& defaults);

}  // namespace FormatCatalog
