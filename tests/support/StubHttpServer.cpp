#include "StubHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "Http.h"

namespace TestSupport {

StubHttpServer::StubHttpServer(Responder responder) : responder_(std::move(responder)) {
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
  thread_ = std::thread([this] { serve(); });
}

StubHttpServer::~StubHttpServer() {
  ::shutdown(listenFd_, SHUT_RDWR);
  thread_.join();
  ::close(listenFd_);
  for (int fd : silentConnections_) ::close(fd);
}

std::string StubHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> StubHttpServer::requestHeads() const {
  std::lock_guard guard(mutex_);
  return heads_;
}

void StubHttpServer::serve() {
  while (true) {
    int connection = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return;
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      head.append(buffer, static_cast<size_t>(n));
    }
    Reply reply = responder_(head);
    {
      std::lock_guard guard(mutex_);
      heads_.push_back(head);
      if (reply.neverAnswer) {
        silentConnections_.push_back(connection);
        continue;
      }
    }
    std::string response = "HTTP/1.1 " + std::to_string(reply.status) + " Stub\r\n" + reply.extraHeaders +
                           "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n" +
                           reply.body;
    ::send(connection, response.data(), response.size(), MSG_NOSIGNAL);
    ::close(connection);
  }
}

}  // namespace TestSupport
