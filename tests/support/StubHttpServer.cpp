#include "StubHttpServer.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <stdexcept>

namespace TestSupport {

StubHttpServer::StubHttpServer(std::function<Reply(const std::string&)> responder) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listenFd_, 64) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("stub server cannot listen");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this, responder] {
    for (int connection; (connection = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
      std::string head;
      char buffer[4096];
      for (ssize_t n = 1; n > 0 && head.find("\r\n\r\n") == std::string::npos;) {
        n = ::recv(connection, buffer, sizeof buffer, 0);
        if (n > 0) head.append(buffer, static_cast<size_t>(n));
      }
      Reply reply = responder(head);
      std::lock_guard guard(mutex_);
      heads_.push_back(head);
      if (reply.neverAnswer) {
        silentConnections_.push_back(connection);
        continue;
      }
      std::string response = "HTTP/1.1 " + std::to_string(reply.status) + " Stub\r\n" + reply.extraHeaders +
                             "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n" +
                             reply.body;
      ::send(connection, response.data(), response.size(), MSG_NOSIGNAL);
      ::close(connection);
    }
  });
}

StubHttpServer::~StubHttpServer() {
  ::shutdown(listenFd_, SHUT_RDWR);
  thread_.join();
  ::close(listenFd_);
  for (int fd : silentConnections_) ::close(fd);
}

std::vector<std::string> StubHttpServer::requestHeads() const {
  std::lock_guard guard(mutex_);
  return heads_;
}

}  // namespace TestSupport
