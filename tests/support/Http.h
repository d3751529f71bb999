#pragma once

#include <chrono>
#include <string>

namespace TestSupport {

struct HttpResponse {
  bool ok = false;  // the transfer completed
  long status = 0;
  std::string headers;
  std::string body;
  std::string error;
};

// A real HTTP client (libcurl) for the tests. `method` is "GET" or "HEAD".
HttpResponse httpRequest(const std::string& url, const std::string& method = "GET",
                         std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Sends raw bytes to 127.0.0.1:port and returns everything the server sent until it
// closed the connection. With `oneByteAtATime`, each byte is its own write.
std::string rawExchange(int port, const std::string& request, bool oneByteAtATime = false,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A connected TCP socket to 127.0.0.1:port, or -1.
int connectTo(int port);

// A socket whose connection to 127.0.0.1:port is under way; the call does not wait for the
// server to take it up, so many can be opened while the server is saturated.
int connectWithoutWaiting(int port);

// Bytes read from the connection until the peer closes it or the timeout passes.
std::string readUntilClosed(int fd, std::chrono::milliseconds timeout);

}  // namespace TestSupport
