#include "Responses.h"

namespace Responses {

namespace {

std::string head(std::string_view statusLine, std::string_view contentType, std::uint64_t contentLength,
                 std::string_view location = {}) {
  std::string text(statusLine);
  if (!contentType.empty()) {
    text += "Content-Type: ";
    text += contentType;
    text += "\r\n";
  }
  if (!location.empty()) {
    text += "Location: ";
    text += location;
    text += "\r\n";
  }
  text += "Content-Length: " + std::to_string(contentLength) + "\r\n";
  text +=
      "Access-Control-Allow-Origin: *\r\n"
      "Access-Control-Allow-Methods: GET, HEAD, OPTIONS\r\n"
      "Access-Control-Allow-Headers: *\r\n"
      "Cache-Control: no-store\r\n"
      "Connection: close\r\n\r\n";
  return text;
}

}  // namespace

std::string preflight() { return head("HTTP/1.1 204 No Content\r\n", "", 0); }

std::string notFound(bool withBody) {
  constexpr std::string_view body = "Not found";
  std::string text = head("HTTP/1.1 404 Not Found\r\n", "text/plain", body.size());
  if (withBody) text += body;
  return text;
}

std::string page(std::string_view html, bool withBody) {
  std::string text = head("HTTP/1.1 200 OK\r\n", "text/html; charset=utf-8", html.size());
  if (withBody) text += html;
  return text;
}

std::string seeOther(std::string_view location) { return head("HTTP/1.1 303 See Other\r\n", "", 0, location); }

std::string fileHead(std::uint64_t size, std::string_view contentType) {
  return head("HTTP/1.1 200 OK\r\n", contentType, size);
}

}  // namespace Responses
