#include <curl/curl.h>

#include <memory>

#include "Catalog.h"

namespace FormatCatalog {

namespace {

using Url = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

std::optional<std::string> part(CURLU* url, CURLUPart which) {
  char* text = nullptr;
  if (curl_url_get(url, which, &text, 0) != CURLUE_OK) return std::nullopt;
  std::string result = text;
  curl_free(text);
  return result;
}

std::string lowercased(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

// The page embeds this address and the fallback navigates to it: a javascript: or data:
// address would run in the page's own origin, the one that holds the file's token.
bool isUsableViewerUrl(const std::string& text) {
  Url url(curl_url(), curl_url_cleanup);
  if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return false;
  auto scheme = part(url.get(), CURLUPART_SCHEME);
  auto host = part(url.get(), CURLUPART_HOST);
  if (!scheme || !host || host->empty() || part(url.get(), CURLUPART_USER) || part(url.get(), CURLUPART_PASSWORD)) {
    return false;
  }
  if (lowercased(*scheme) == "https") return true;
  std::string name = lowercased(*host);
  return lowercased(*scheme) == "http" && (name == "127.0.0.1" || name == "localhost" || name == "[::1]");
}

}  // namespace FormatCatalog
