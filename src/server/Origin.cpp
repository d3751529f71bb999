#include <curl/curl.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "BridgePage.h"
#include "CurlUrl.h"
#include "Text.h"

// Kept apart from the page builder so the fuzzer can take it alone: its input may come
// from a downloaded catalog.
namespace BridgePage {

namespace {

CurlUrl parsed(std::string_view text) {
  CurlUrl url(curl_url(), curl_url_cleanup);
  if (url &&
      (text.find('\0') != std::string_view::npos ||
       curl_url_set(url.get(), CURLUPART_URL, std::string(text).c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)) {
    url.reset();
  }
  return url;
}

}  // namespace

// As browsers write an origin: scheme and host in lower case, no port where it is the
// scheme's own, so that the viewer's messages are recognised.
std::string originOf(std::string_view url) {
  const std::string unchanged(url);
  CurlUrl address = parsed(url);
  if (!address) return unchanged;
  auto scheme = urlPart(address.get(), CURLUPART_SCHEME);
  auto host = urlPart(address.get(), CURLUPART_HOST);
  // Browsers take no zone in an address.
  if (!scheme || !host || host->empty() || urlPart(address.get(), CURLUPART_ZONEID)) return unchanged;
  std::string origin = Text::asciiLowercase(*scheme) + "://" + Text::asciiLowercase(*host);
  auto port = urlPart(address.get(), CURLUPART_PORT);
  if (!port || (origin.starts_with("https:") && *port == "443") || (origin.starts_with("http:") && *port == "80")) {
    return origin;
  }
  return origin + ":" + *port;
}

// The viewer reads its parameters from the query wherever the address has one, and the
// browser takes everything after a "#" as the fragment.
std::string withQueryParameter(std::string_view url, const std::string& name, std::string_view value) {
  CurlUrl address = parsed(url);
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
