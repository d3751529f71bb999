#include "Http.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <thread>

namespace TestSupport {

HttpResponse httpRequest(const std::string& url, std::chrono::milliseconds timeout) {
  HttpResponse response;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* body) {
        static_cast<std::string*>(body)->append(data, size * count);
        return size * count;
      });
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
  CURLcode result = curl_easy_perform(curl);
  response.ok = result == CURLE_OK;
  if (!response.ok) response.error = curl_easy_strerror(result);
  curl_easy_cleanup(curl);
  return response;
}

int connectTo(int port, bool wait) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && wait) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string rawExchange(int port, const std::string& request, bool oneByteAtATime, const std::string& sentLater) {
  int fd = connectTo(port);
  if (fd < 0) return "<connect failed>";
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  size_t step = oneByteAtATime ? 1 : request.size();
  for (size_t offset = 0; offset < request.size(); offset += step) {
    if (::send(fd, request.data() + offset, std::min(step, request.size() - offset), MSG_NOSIGNAL) < 0) break;
  }
  if (!sentLater.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::send(fd, sentLater.data(), sentLater.size(), MSG_NOSIGNAL);
  }
  // The head is complete or never will be: saying so lets the server see the end.
  ::shutdown(fd, SHUT_WR);
  std::string received;
  char buffer[65536];
  pollfd waiting{fd, POLLIN, 0};
  for (ssize_t n = 1; n > 0 && ::poll(&waiting, 1, 20000) > 0;) {
    n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) received.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return received;
}

}  // namespace TestSupport
