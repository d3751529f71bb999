#include "StubHttpServer.h"

#include <arpa/inet.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

namespace TestSupport {

StubHttpServer::StubHttpServer(std::function<Reply(const std::string&)> responder, std::optional<Tls> tls) {
  if (tls) {
    tls_ = SSL_CTX_new(TLS_server_method());
    if (!tls_ || SSL_CTX_use_certificate_file(tls_, tls->certificateFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls_, tls->keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
      throw std::runtime_error("stub server cannot load its certificate");
    }
  }
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
      serve(connection, responder);
    }
  });
}

void StubHttpServer::serve(int connection, const std::function<Reply(const std::string&)>& responder) {
  std::unique_ptr<SSL, decltype(&SSL_free)> tls(tls_ ? SSL_new(tls_) : nullptr, SSL_free);
  if (tls && (SSL_set_fd(tls.get(), connection) != 1 || SSL_accept(tls.get()) != 1)) {
    ::close(connection);  // a client that refused the certificate
    return;
  }
  auto receive = [&](char* buffer, size_t size) -> ssize_t {
    return tls ? SSL_read(tls.get(), buffer, static_cast<int>(size)) : ::recv(connection, buffer, size, 0);
  };
  std::string head;
  char buffer[4096];
  for (ssize_t n = 1; n > 0 && head.find("\r\n\r\n") == std::string::npos;) {
    n = receive(buffer, sizeof buffer);
    if (n > 0) head.append(buffer, static_cast<size_t>(n));
  }
  Reply reply = responder(head);
  std::lock_guard guard(mutex_);
  heads_.push_back(head);
  if (reply.neverAnswer) {
    silentConnections_.push_back(connection);
    return;
  }
  std::string response = "HTTP/1.1 " + std::to_string(reply.status) + " Stub\r\n" + reply.extraHeaders +
                         "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n" +
                         reply.body;
  if (tls) {
    SSL_write(tls.get(), response.data(), static_cast<int>(response.size()));
    SSL_shutdown(tls.get());
  } else {
    ::send(connection, response.data(), response.size(), MSG_NOSIGNAL);
  }
  ::close(connection);
}

StubHttpServer::~StubHttpServer() {
  ::shutdown(listenFd_, SHUT_RDWR);
  thread_.join();
  ::close(listenFd_);
  for (int fd : silentConnections_) ::close(fd);
  SSL_CTX_free(tls_);
}

std::vector<std::string> StubHttpServer::requestHeads() const {
  std::lock_guard guard(mutex_);
  return heads_;
}

}  // namespace TestSupport
