#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "ServerCore.h"

class AcceptingWorkers;

// A one-file HTTP server on 127.0.0.1 under a random token: the file, its bridge page,
// the cross-origin pre-flight, and 404 for everything else.
class LoopbackServer {
 public:
  class ServerError : public std::runtime_error {
   public:
    static ServerError socketFailed(const std::string& message) { return ServerError(message); }

   private:
    explicit ServerError(const std::string& message) : std::runtime_error(message) {}
  };

  using Clock = ServerCore::Clock;
  static ServerCore::TimePoint systemNow() { return std::chrono::system_clock::now(); }

  // `viewerFolder`, when given, holds the built-in viewer; its files are listed at start()
  // and answered under the token's "viewer/".
  explicit LoopbackServer(std::string filePath, Clock clock = systemNow, std::string viewerFolder = {});
  // Stops the server: nothing keeps listening once its owner is gone.
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // A socket listening on 127.0.0.1:port (0: a port the system chooses). Throws ServerError,
  // naming the port when it is taken or needs privileges.
  static UniqueFd listenOn(int port);
  // Serves in the background on the socket given, or on a system-chosen port. Throws
  // ServerError.
  void start(UniqueFd listening = {});
  // Refuses new connections from now on; requests already being answered run to their end.
  void stop();

  int port() const { return port_; }
  // The last path component of the served file, as its address and page show it.
  std::string fileName() const;
  std::string fileUrl() const;
  std::string pageUrl() const;
  // An address that sends the browser on to the page once, within a minute of the start.
  // It holds no token itself but leads to it: only for a browser that can be given
  // nothing else (a sandboxed one).
  std::string launchUrl() const;
  // The built-in viewer's page, or empty when this server has none to serve.
  std::string builtinViewerUrl() const;
  void setPageHtml(std::string html) { core_->setPageHtml(std::move(html)); }
  bool idleExpired() const { return core_->idleExpired(); }

 private:
  std::string baseUrl() const;

  std::shared_ptr<ServerCore> core_;
  std::string tokenFailure_;
  std::string viewerFolder_;
  std::shared_ptr<AcceptingWorkers> workers_;
  int port_ = 0;
};
