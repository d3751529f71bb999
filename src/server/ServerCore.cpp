#include "ServerCore.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <thread>

#include "RequestHead.h"
#include "Responses.h"
#include "SocketIo.h"

namespace {

using namespace std::chrono_literals;
constexpr auto receiveLimit = 10s;
constexpr auto sendLimit = 60s;
constexpr size_t fileStep = 2u << 20;  // few calls per transfer, activity still marked often
constexpr auto servedIdleLimit = 300s;
constexpr auto unservedIdleLimit = 900s;
constexpr auto launchLifetime = 60s;
constexpr auto drainLimit = 2s;
constexpr size_t drainBytes = 1u << 20;
constexpr int descriptorWaits = 100;
constexpr auto descriptorWaitStep = 20ms;

// Reads the request head; the receive limit bounds the whole head, not each read, so a
// client that drips bytes cannot hold a connection open for long. The first read waits as
// long as the limit the connection took over from the listening socket.
std::string readRequestLine(int connection) {
  auto deadline = std::chrono::steady_clock::now() + receiveLimit;
  RequestHead::Reader reader;
  std::array<char, RequestHead::readStep> buffer{};
  for (bool first = true;; first = false) {
    if (!first) {
      auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return {};
      SocketIo::setTimeout(connection, SO_RCVTIMEO, left);
    }
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

// When descriptors run short, connections already accepted by other threads are closed
// within moments (most of them are spent ones, left in the queue): an existing file is
// worth that wait rather than a 404.
UniqueFd openWaitingForADescriptor(const std::string& path, int flags) {
  for (int attempt = 0;; ++attempt) {
    UniqueFd file(::open(path.c_str(), flags));
    if (file.valid() || (errno != EMFILE && errno != ENFILE) || attempt == descriptorWaits) return file;
    std::this_thread::sleep_for(descriptorWaitStep);
  }
}

// Opens only a regular file, and never blocks doing so (a FIFO put in the file's place).
// `extraFlags` adds O_NOFOLLOW where a link put in the file's place must not be followed.
UniqueFd openRegularFile(const std::string& path, std::uint64_t& size, int extraFlags = 0) {
  UniqueFd file = openWaitingForADescriptor(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | extraFlags);
  struct stat info {};
  if (!file.valid() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return UniqueFd();
  }
  size = static_cast<std::uint64_t>(info.st_size);
  return file;
}

}  // namespace

ServerCore::ServerCore(std::string filePath, Clock clock)
    : filePath_(std::move(filePath)),
      clock_(std::move(clock)),
      started_(clock_()),
      lastActivity_(started_.time_since_epoch().count()) {
  setPageHtml({});
}

void ServerCore::setSecrets(std::string token, std::string launchCode) {
  token_ = std::move(token);
  launchCode_ = std::move(launchCode);
  tokenPrefix_ = "/" + token_ + "/";
  launchTarget_ = "/" + launchCode_;
}

void ServerCore::prepareListening(int listenFd) {
  SocketIo::setTimeout(listenFd, SO_SNDTIMEO, sendLimit);
  SocketIo::setTimeout(listenFd, SO_RCVTIMEO, receiveLimit);
}

void ServerCore::setPageHtml(std::string html) {
  auto answers = std::make_shared<PageAnswers>(PageAnswers{Responses::page(html, true), Responses::page(html, false)});
  std::lock_guard guard(pageLock_);
  pageAnswers_ = std::move(answers);
}

void ServerCore::setPageUrl(std::string url) {
  std::lock_guard guard(pageLock_);
  pageUrl_ = std::move(url);
}

// The launch address works once, and only shortly after the server started, so that an
// address seen in a browser's history or a process list is worth nothing later.
bool ServerCore::takeLaunch() {
  std::lock_guard guard(launchLock_);
  if (launchUsed_ || clock_() - started_ > launchLifetime) return false;
  launchUsed_ = true;
  return true;
}

bool ServerCore::idleExpired() const {
  auto now = clock_();
  TimePoint lastActivity(TimePoint::duration(lastActivity_.load()));
  if (served_) return now - lastActivity > servedIdleLimit;
  return now - started_ > unservedIdleLimit;
}

void ServerCore::touch() {
  auto now = clock_().time_since_epoch().count();
  auto last = lastActivity_.load();
  while (now > last && !lastActivity_.compare_exchange_weak(last, now)) {
  }
}

// Activity first: whoever then sees the file served sees the activity too.
void ServerCore::markServed() {
  touch();
  served_ = true;
}

void ServerCore::handle(UniqueFd connection) {
  int fd = connection.get();
  touch();
  std::string line = readRequestLine(fd);
  if (line.empty()) return;
  auto request = RequestHead::classify(line, tokenPrefix_, launchTarget_);
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
    case RequestHead::Route::page: {
      std::shared_ptr<const PageAnswers> answers;
      {
        std::lock_guard guard(pageLock_);
        answers = pageAnswers_;
      }
      SocketIo::sendAll(fd, request.isHead ? answers->head : answers->get);
      touch();
      return;
    }
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
