#include "Http.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace TestSupport {

namespace {

size_t appendTo(char* data, size_t size, size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(data, size * count);
  return size * count;
}

}  // namespace

HttpResponse httpRequest(const std::string& url, const std::string& method, std::chrono::milliseconds timeout) {
  HttpResponse response;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  if (method == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendTo);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, appendTo);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response.headers);
  CURLcode result = curl_easy_perform(curl);
  response.ok = result == CURLE_OK;
  if (!response.ok) response.error = curl_easy_strerror(result);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  curl_easy_cleanup(curl);
  return response;
}

namespace {

sockaddr_in loopbackAddress(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

int connectTo(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  auto address = loopbackAddress(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int connectWithoutWaiting(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  auto address = loopbackAddress(port);
  ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  return fd;
}

std::string readUntilClosed(int fd, std::chrono::milliseconds timeout) {
  std::string received;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd waiting{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[65536];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    received.append(buffer, static_cast<size_t>(n));
  }
  return received;
}

std::string rawExchange(int port, const std::string& request, bool oneByteAtATime, std::chrono::milliseconds timeout) {
  int fd = connectTo(port);
  if (fd < 0) return "<connect failed>";
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  size_t step = oneByteAtATime ? 1 : request.size();
  for (size_t offset = 0; offset < request.size(); offset += step) {
    if (::send(fd, request.data() + offset, std::min(step, request.size() - offset), MSG_NOSIGNAL) < 0) {
      break;
    }
  }
  // The head is complete or never will be: saying so lets the server see the end.
  ::shutdown(fd, SHUT_WR);
  std::string received = readUntilClosed(fd, timeout);
  ::close(fd);
  return received;
}

}  // namespace TestSupport
