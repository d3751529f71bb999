#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "RequestHead.h"
#include "UniqueFd.h"
#include "ViewerFiles.h"

// The state a server shares with its connections, and the handling of one connection.
// Connections hold it by shared pointer, so it outlives the server object they came from.
class ServerCore {
 public:
  using TimePoint = std::chrono::system_clock::time_point;
  using Clock = std::function<TimePoint()>;

  ServerCore(std::string filePath, Clock clock);

  // Set once by the server before any connection is accepted.
  void setSecrets(std::string token, std::string launchCode);

  const std::string& filePath() const { return filePath_; }
  const std::string& token() const { return token_; }
  const std::string& launchCode() const { return launchCode_; }

  // Where the one-time launch address sends the browser; set once the port is known.
  void setPageUrl(std::string url);
  // The built-in viewer's files this server answers under "viewer/"; set once at start.
  void setViewerFiles(ViewerFiles files) { viewerFiles_ = std::move(files); }
  const ViewerFiles& viewerFiles() const { return viewerFiles_; }
  void setPageHtml(std::string html);
  bool idleExpired() const;
  void markStopped();
  bool isStopped() const;

  // Serves one request on the connection, then closes it.
  void handle(UniqueFd connection);

 private:
  std::string pageHtml() const;
  void touch();
  void markServed();
  void answer(int connection, const RequestHead::Request& request);
  void answerFile(int connection, bool isHead);
  void answerViewerFile(int connection, std::string_view name, bool isHead);
  bool takeLaunch();

  const std::string filePath_;
  std::string token_;
  std::string launchCode_;
  ViewerFiles viewerFiles_;
  const Clock clock_;
  const TimePoint started_;

  mutable std::mutex lock_;  // guards stopped_, served_, lastActivity_
  bool stopped_ = false;
  bool served_ = false;
  bool launchUsed_ = false;
  TimePoint lastActivity_;

  mutable std::mutex pageLock_;
  std::string pageHtml_;
  std::string pageUrl_;
};
