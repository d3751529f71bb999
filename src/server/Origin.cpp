#include <curl/curl.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "BridgePage.h"

// Kept apart from the page builder so the fuzzer can take it alone: its input may come
// from a downloaded catalog.
namespace BridgePage {

namespace {

using Url = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

Url parsed(std::string_view text) {
  Url url(curl_url(), curl_url_cleanup);
  if (url &&
      (text.find('\0') != std::string_view::npos ||
       curl_url_set(url.get(), CURLUPART_URL, std::string(text).c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)) {
    url.reset();
  }
  return url;
}

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

// As browsers write an origin: scheme and host in lower case, no port where it is the
// scheme's own, so that the viewer's messages are recognised.
std::string originOf(std::string_view url) {
  const std::string unchanged(url);
  Url address = parsed(url);
  if (!address) return unchanged;
  auto scheme = part(address.get(), CURLUPART_SCHEME);
  auto host = part(address.get(), CURLUPART_HOST);
  // Browsers take no zone in an address.
  if (!scheme || !host || host->empty() || part(address.get(), CURLUPART_ZONEID)) return unchanged;
  std::string origin = lowercased(*scheme) + "://" + lowercased(*host);
  auto port = part(address.get(), CURLUPART_PORT);
  if (!port || (origin.starts_with("https:") && *port == "443") || (origin.starts_with("http:") && *port == "80")) {
    return origin;
  }
  return origin + ":" + *port;
}

// The viewer reads its parameters from the query wherever the address has one, and the
// browser takes everything after a "#" as the fragment.
std::string withQueryParameter(std::string_view url, const std::string& name, std::string_view value) {
  Url address = parsed(url);
  char* text = nullptr;
  if (!address ||
      curl_url_set(address.get(), CURLUPART_QUERY, (name + "=" + std::string(value)).c_str(),
                   CURLU_APPENDQUERY | CURLU_URLENCODE) != CURLUE_OK ||
      curl_url_get(address.get(), CURLUPART_URL, &text, 0) != CURLUE_OK) {
    return std::string(url);
  }
  std::string result = text;
  curl_free(text);
  return result;
}

}  // namespace BridgePage
