#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct ssl_ctx_st;

namespace TestSupport {

// A tiny HTTP server on 127.0.0.1 that answers each request as the test says, one at a
// time, and remembers the request heads it saw. With a certificate it speaks HTTPS.
class StubHttpServer {
 public:
  struct Tls {
    std::string certificateFile, keyFile;
  };
  struct Reply {
    int status = 200;
    std::string body;
    std::string extraHeaders;  // whole lines, each ending in "\r\n"
    bool neverAnswer = false;  // keep the connection open and say nothing
  };
  explicit StubHttpServer(std::function<Reply(const std::string& requestHead)> responder,
                          std::optional<Tls> tls = std::nullopt);
  ~StubHttpServer();

  std::string url(const std::string& path) const {
    return (tls_ ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(port_) + path;
  }
  std::vector<std::string> requestHeads() const;

 private:
  void serve(int connection, const std::function<Reply(const std::string&)>& responder);

  int listenFd_ = -1;
  ssl_ctx_st* tls_ = nullptr;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> heads_;
  std::vector<int> silentConnections_;
  std::thread thread_;
};

}  // namespace TestSupport
