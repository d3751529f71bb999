#include "ServerCore.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <array>

#include "RequestHead.h"
#include "Responses.h"
#include "SocketIo.h"

namespace {

using namespace std::chrono_literals;
constexpr auto receiveLimit = 10s;
constexpr auto sendLimit = 60s;
constexpr size_t fileStep = 65536;
constexpr auto servedIdleLimit = 300s;
constexpr auto unservedIdleLimit = 900s;
constexpr auto launchLifetime = 60s;
constexpr auto drainLimit = 2s;
constexpr size_t drainBytes = 1u << 20;

// Reads the request head; the receive limit bounds the whole head, not each read, so a
// client that drips bytes cannot hold a connection open for long.
std::string readRequestLine(int connection) {
  auto deadline = std::chrono::steady_clock::now() + receiveLimit;
  RequestHead::Reader reader;
  std::array<char, RequestHead::readStep> buffer{};
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return {};
    SocketIo::setTimeout(connection, SO_RCVTIMEO, left);
    long n = SocketIo::receiveSome(connection, buffer.data(), reader.nextReadSize());
    if (n <= 0) return {};
    switch (reader.feed({buffer.data(), static_cast<size_t>(n)})) {
      case RequestHead::Progress::complete:
        return reader.requestLine();
      case RequestHead::Progress::tooLarge:
        return {};
      case RequestHead::Progress::needMore:
        break;
    }
  }
}

// Closing a socket with unread bytes (a request body, pipelined requests) makes the kernel
// send a reset, which can destroy the answer before the client reads it. So the answer is
// ended with a FIN first and what the client still sends is read and dropped, for a while.
void finishAnswer(int connection) {
  ::shutdown(connection, SHUT_WR);
  auto deadline = std::chrono::steady_clock::now() + drainLimit;
  std::array<char, 16384> buffer{};
  size_t drained = 0;
  while (drained < drainBytes) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    SocketIo::setTimeout(connection, SO_RCVTIMEO, left);
    long n = SocketIo::receiveSome(connection, buffer.data(), buffer.size());
    if (n <= 0) return;
    drained += static_cast<size_t>(n);
  }
}

// Opens only a regular file, and never blocks doing so (a FIFO put in the file's place).
// `extraFlags` adds O_NOFOLLOW where a link put in the file's place must not be followed.
UniqueFd openRegularFile(const std::string& path, std::uint64_t& size, int extraFlags = 0) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | extraFlags));
  struct stat info {};
  if (!file.valid() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return UniqueFd();
  }
  size = static_cast<std::uint64_t>(info.st_size);
  return file;
}

}  // namespace

ServerCore::ServerCore(std::string filePath, Clock clock)
    : filePath_(std::move(filePath)), clock_(std::move(clock)), started_(clock_()), lastActivity_(started_) {}

void ServerCore::setSecrets(std::string token, std::string launchCode) {
  token_ = std::move(token);
  launchCode_ = std::move(launchCode);
}

void ServerCore::setPageHtml(std::string html) {
  std::lock_guard guard(pageLock_);
  pageHtml_ = std::move(html);
}

void ServerCore::setPageUrl(std::string url) {
  std::lock_guard guard(pageLock_);
  pageUrl_ = std::move(url);
}

// The launch address works once, and only shortly after the server started, so that an
// address seen in a browser's history or a process list is worth nothing later.
bool ServerCore::takeLaunch() {
  std::lock_guard guard(lock_);
  if (launchUsed_ || clock_() - started_ > launchLifetime) return false;
  launchUsed_ = true;
  return true;
}

std::string ServerCore::pageHtml() const {
  std::lock_guard guard(pageLock_);
  return pageHtml_;
}

bool ServerCore::idleExpired() const {
  std::lock_guard guard(lock_);
  auto now = clock_();
  if (served_) return now - lastActivity_ > servedIdleLimit;
  return now - started_ > unservedIdleLimit;
}

void ServerCore::markStopped() {
  std::lock_guard guard(lock_);
  stopped_ = true;
}

bool ServerCore::isStopped() const {
  std::lock_guard guard(lock_);
  return stopped_;
}

void ServerCore::touch() {
  std::lock_guard guard(lock_);
  auto now = clock_();
  if (now > lastActivity_) lastActivity_ = now;
}

void ServerCore::markServed() {
  std::lock_guard guard(lock_);
  served_ = true;
  auto now = clock_();
  if (now > lastActivity_) lastActivity_ = now;
}

void ServerCore::handle(UniqueFd connection) {
  int fd = connection.get();
  SocketIo::setTimeout(fd, SO_SNDTIMEO, sendLimit);
  touch();
  std::string line = readRequestLine(fd);
  if (line.empty()) return;
  auto request = RequestHead::classify(line, "/" + token_ + "/", "/" + launchCode_);
  if (request.route == RequestHead::Route::closeSilently) return;
  answer(fd, request);
  finishAnswer(fd);
}

void ServerCore::answer(int fd, const RequestHead::Request& request) {
  switch (request.route) {
    case RequestHead::Route::closeSilently:
      return;
    case RequestHead::Route::preflight:
      SocketIo::sendAll(fd, Responses::preflight());
      return;
    case RequestHead::Route::notFound:
      SocketIo::sendAll(fd, Responses::notFound(!request.isHead));
      return;
    case RequestHead::Route::page:
      SocketIo::sendAll(fd, Responses::page(pageHtml(), !request.isHead));
      touch();
      return;
    case RequestHead::Route::file:
      answerFile(fd, request.isHead);
      return;
    case RequestHead::Route::viewer:
      answerViewerFile(fd, request.viewerName, request.isHead);
      return;
    case RequestHead::Route::launch: {
      std::string location;
      {
        std::lock_guard guard(pageLock_);
        location = pageUrl_;
      }
      bool valid = !location.empty() && takeLaunch();
      SocketIo::sendAll(fd, valid ? Responses::seeOther(location) : Responses::notFound(true));
      return;
    }
  }
}

void ServerCore::answerFile(int connection, bool isHead) {
  std::uint64_t size = 0;
  UniqueFd file = openRegularFile(filePath_, size);
  if (!file.valid()) {
    SocketIo::sendAll(connection, Responses::notFound(!isHead));
    return;
  }
  bool headSent = SocketIo::sendAll(connection, Responses::fileHead(size));
  if (isHead) {
    touch();
    return;
  }
  // A transfer counts only when the client got every byte the header announced.
  if (headSent && SocketIo::sendFile(connection, file.get(), size, fileStep, [this] { touch(); })) {
    markServed();
  }
}

// The viewer's files count as activity but never as the model served.
void ServerCore::answerViewerFile(int connection, std::string_view name, bool isHead) {
  const std::string* path = viewerFiles_.find(name);
  std::uint64_t size = 0;
  // Listed as regular files, they stay so: a link swapped in since would lead out of the folder.
  UniqueFd file = path ? openRegularFile(*path, size, O_NOFOLLOW) : UniqueFd();
  if (!file.valid()) {
    SocketIo::sendAll(connection, Responses::notFound(!isHead));
    return;
  }
  bool headSent = SocketIo::sendAll(connection, Responses::fileHead(size, ViewerFiles::contentType(name)));
  if (!isHead && headSent) SocketIo::sendFile(connection, file.get(), size, fileStep, [this] { touch(); });
  touch();
}
