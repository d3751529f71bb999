#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "AcceptingWorkers.h"
#include "DescriptorLimit.h"
#include "PercentEncoding.h"
#include "RandomToken.h"

namespace {

constexpr int listenBacklog = 8;
constexpr auto workerIdleLimit = std::chrono::seconds(30);

[[noreturn]] void fail(const char* call, int error) {
  throw LoopbackServer::ServerError::socketFailed(std::string(call) + "(): " + std::strerror(error));
}

std::string lastPathComponent(const std::string& path) {
  auto end = path.find_last_not_of('/');
  if (end == std::string::npos) return path.empty() ? path : "/";
  auto start = path.rfind('/', end);
  return path.substr(start == std::string::npos ? 0 : start + 1,
                     end - (start == std::string::npos ? 0 : start + 1) + 1);
}

}  // namespace

LoopbackServer::LoopbackServer(std::string filePath, Clock clock, std::string viewerFolder)
    : core_(std::make_shared<ServerCore>(std::move(filePath), std::move(clock))),
      viewerFolder_(std::move(viewerFolder)) {
  // A server without a secure token must not serve; start() reports why.
  try {
    core_->setSecrets(randomHexToken(16), randomHexToken(16));
  } catch (const std::runtime_error& error) {
    tokenFailure_ = error.what();
  }
}

LoopbackServer::~LoopbackServer() { stop(); }

UniqueFd LoopbackServer::listenOn(int port) {
  UniqueFd socketFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socketFd.valid()) fail("socket", errno);
  int one = 1;
  setsockopt(socketFd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  if (::bind(socketFd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    std::string where = "127.0.0.1:" + std::to_string(port);
    if (port && error == EADDRINUSE) throw ServerError::socketFailed("port " + where + " is in use");
    if (port && error == EACCES) throw ServerError::socketFailed("port " + where + " needs privileges");
    fail("bind", error);
  }
  if (::listen(socketFd.get(), listenBacklog) != 0) fail("listen", errno);
  return socketFd;
}

void LoopbackServer::start(UniqueFd listening) {
  if (!tokenFailure_.empty()) throw ServerError::socketFailed(tokenFailure_);
  // Connections are plenty on a busy desktop; take every descriptor the system allows us.
  DescriptorLimit::raiseForServing();
  if (!listening.valid()) listening = listenOn(0);
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(listening.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    fail("getsockname", errno);
  }
  port_ = ntohs(address.sin_port);
  core_->setPageUrl(pageUrl());
  core_->setViewerFiles(ViewerFiles::list(viewerFolder_));
  ServerCore::prepareListening(listening.get());
  workers_ = AcceptingWorkers::start(
      std::move(listening), [core = core_](UniqueFd connection) { core->handle(std::move(connection)); },
      workerIdleLimit);
}

void LoopbackServer::stop() {
  if (workers_) workers_->stop();
  workers_.reset();
}

std::string LoopbackServer::baseUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" + core_->token();
}

std::string LoopbackServer::fileName() const { return lastPathComponent(core_->filePath()); }

std::string LoopbackServer::fileUrl() const { return baseUrl() + "/file/" + percentEncode(fileName()); }

std::string LoopbackServer::pageUrl() const { return baseUrl() + "/open"; }

std::string LoopbackServer::launchUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" + core_->launchCode();
}

std::string LoopbackServer::builtinViewerUrl() const {
  if (!core_->viewerFiles().find(ViewerFiles::page)) return {};
  return baseUrl() + "/viewer/" + std::string(ViewerFiles::page);
}
