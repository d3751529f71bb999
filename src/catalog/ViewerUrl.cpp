#include <arpa/inet.h>
#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <string_view>

#include "Catalog.h"
#include "CurlUrl.h"
#include "Text.h"

namespace FormatCatalog {

namespace {

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The address as written starts with "scheme://host", the host exactly as libcurl read it
// (libcurl decodes escapes and rewrites numeric hosts, as browsers do), and nothing between.
bool namesHostAsRead(const std::string& text, const std::string& scheme, const std::string& host) {
  const std::string prefix = scheme + "://" + Text::asciiLowercase(host);
  if (Text::asciiLowercase(text.substr(0, prefix.size())) != prefix) return false;
  return text.size() == prefix.size() || std::string_view(":/?#").find(text[prefix.size()]) != std::string_view::npos;
}

bool isCanonicalAddress(int family, const std::string& text) {
  unsigned char binary[16];
  char written[INET6_ADDRSTRLEN];
  return inet_pton(family, text.c_str(), binary) == 1 && inet_ntop(family, binary, written, sizeof written) &&
         Text::asciiLowercase(text) == written;
}

// A host a browser writes back unchanged apart from case: a name of ASCII letters, digits,
// hyphens and dots whose last label is not a number (browsers would read it as IPv4), a
// dotted-decimal IPv4 address, or an IPv6 address in its shortest form without IPv4 part.
bool isSerialisedHost(const std::string& host) {
  if (host.front() == '[') {
    std::string inner = host.substr(1, host.size() - 2);
    return host.back() == ']' && inner.find('.') == std::string::npos && isCanonicalAddress(AF_INET6, inner);
  }
  for (char c : host) {
    if (!isLetter(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.') return false;
  }
  std::string_view name(host);
  if (name.back() == '.') name.remove_suffix(1);
  size_t lastLabel = name.rfind('.') + 1;
  return (lastLabel < name.size() && isLetter(name[lastLabel])) || isCanonicalAddress(AF_INET, host);
}

// The page adds "bridge" and "url" to the address; one already there would be read first.
bool namesOurParameters(CURLU* url) {
  char* query = nullptr;
  if (curl_url_get(url, CURLUPART_QUERY, &query, CURLU_URLDECODE) != CURLUE_OK) return false;
  std::string_view rest(query);
  bool named = false;
  while (!named && !rest.empty()) {
    auto field = rest.substr(0, rest.find('&'));
    auto key = field.substr(0, field.find('='));
    named = key == "bridge" || key == "url";
    rest.remove_prefix(std::min(rest.size(), field.size() + 1));
  }
  curl_free(query);
  return named;
}

}  // namespace

// The page embeds this address and the fallback navigates to it: a javascript: or data:
// address would run in the page's own origin, the one that holds the file's token. The page
// also takes messages only from the origin it works out from this text, so the host must be
// written as the browser will write it.
bool isUsableViewerUrl(const std::string& text) {
  CurlUrl url(curl_url(), curl_url_cleanup);
  if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return false;
  auto scheme = urlPart(url.get(), CURLUPART_SCHEME);
  auto host = urlPart(url.get(), CURLUPART_HOST);
  if (!scheme || !host || host->empty() || urlPart(url.get(), CURLUPART_USER) ||
      urlPart(url.get(), CURLUPART_PASSWORD)) {
    return false;
  }
  *scheme = Text::asciiLowercase(*scheme);
  if (!namesHostAsRead(text, *scheme, *host) || !isSerialisedHost(*host) || namesOurParameters(url.get())) {
    return false;
  }
  if (*scheme == "https") return true;
  std::string name = Text::asciiLowercase(*host);
  return *scheme == "http" && (name == "127.0.0.1" || name == "localhost" || name == "[::1]");
}

}  // namespace FormatCatalog
