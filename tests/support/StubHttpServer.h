#pragma once

#include <atomic>
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
  using Responder = std::function<Reply(const std::string& requestHead)>;

  explicit StubHttpServer(Responder responder);
  ~StubHttpServer();
  StubHttpServer(const StubHttpServer&) = delete;
  StubHttpServer& operator=(const StubHttpServer&) = delete;

  std::string url(const std::string& path) const;
  std::vector<std::string> requestHeads() const;

 private:
  void serve();

  Responder responder_;
  int listenFd_ = -1;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> heads_;
  std::vector<int> silentConnections_;
  std::thread thread_;
};

}  // namespace TestSupport
