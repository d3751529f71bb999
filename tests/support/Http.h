#pragma once

#include <chrono>
#include <string>

namespace TestSupport {

struct HttpResponse {
  bool ok = false;  // the transfer completed
  std::string body;
  std::string error;
};

// A GET by a real HTTP client (libcurl).
HttpResponse httpRequest(const std::string& url, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Sends raw bytes to 127.0.0.1:port, then ends its side, and returns everything the server
// sent until it closed the connection. With `oneByteAtATime`, each byte is its own write;
// `sentLater` is written a moment after the request, as a client pipelining its next one does.
std::string rawExchange(int port, const std::string& request, bool oneByteAtATime = false,
                        const std::string& sentLater = "");

// A TCP socket connected to 127.0.0.1:port, or -1. Without waiting, the connection is only
// under way, so that many can be opened while the server is saturated.
int connectTo(int port, bool wait = true);
inline int connectWithoutWaiting(int port) { return connectTo(port, false); }

}  // namespace TestSupport
