#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace TestSupport {

// A tiny HTTP server on 127.0.0.1 that answers each request as the test says, one at a
// time, and remembers the request heads it saw.
class StubHttpServer {
 public:
  struct Reply {
    int status = 200;
    std::string body;
    std::string extraHeaders;  // whole lines, each ending in "\r\n"
    bool neverAnswer = false;  // keep the connection open and say nothing
  };
  explicit StubHttpServer(std::function<Reply(const std::string& requestHead)> responder);
  ~StubHttpServer();

  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  std::vector<std::string> requestHeads() const;

 private:
  int listenFd_ = -1;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> heads_;
  std::vector<int> silentConnections_;
  std::thread thread_;
};

}  // namespace TestSupport
