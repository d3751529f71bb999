#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Parsing of request heads, kept apart from the sockets so it can be tested byte by byte
// and fuzzed.
namespace RequestHead {

inline constexpr size_t maxHeadBytes = 16384;
inline constexpr size_t readStep = 1024;

enum class Progress { needMore, complete, tooLarge };

// Collects a request head until its blank line. The head must end within its first
// maxHeadBytes bytes; how the bytes are split into reads never changes the outcome.
class Reader {
 public:
  // How many bytes the next read may take.
  size_t nextReadSize() const;
  Progress feed(std::string_view bytes);
  // The request line (bytes before the first CRLF) once complete.
  std::string requestLine() const;

 private:
  std::string bytes_;
  size_t headEnd_ = std::string::npos;
};

enum class Route { closeSilently, preflight, notFound, page, file, launch, viewer };

struct Request {
  Route route = Route::closeSilently;
  bool isHead = false;  // the body of the answer is left out
  // For the viewer route: the name after "viewer/" up to any query, exactly as sent.
  std::string_view viewerName{};
};

// Decides the answer for one request line. `tokenPrefix` is "/" + token + "/";
// `launchTarget`, when not empty, is the path of the one-time launch address.
Request classify(std::string_view requestLine, std::string_view tokenPrefix, std::string_view launchTarget = {});

}  // namespace RequestHead
