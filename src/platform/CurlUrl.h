#pragma once

#include <curl/curl.h>

#include <memory>
#include <optional>
#include <string>

// An address parsed by libcurl, and one of its parts as libcurl writes it. Header-only:
// only the libraries that link libcurl include it.
using CurlUrl = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

inline std::optional<std::string> urlPart(CURLU* url, CURLUPart which) {
  char* text = nullptr;
  if (curl_url_get(url, which, &text, 0) != CURLUE_OK) return std::nullopt;
  std::string result = text;
  curl_free(text);
  return result;
}
