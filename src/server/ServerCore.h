#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
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
  // Gives the listening socket the time limits every connection accepted on it takes over.
  static void prepareListening(int listenFd);

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

  // Serves one request on the connection, then closes it.
  void handle(UniqueFd connection);

 private:
  void touch();
  void markServed();
  void answer(int connection, const RequestHead::Request& request);
  void answerFile(int connection, bool isHead);
  void answerViewerFile(int connection, std::string_view name, bool isHead);
  bool takeLaunch();

  const std::string filePath_;
  std::string token_;
  std::string launchCode_;
  std::string tokenPrefix_;
  std::string launchTarget_;
  ViewerFiles viewerFiles_;
  const Clock clock_;
  const TimePoint started_;

  // Every connection marks its activity: no lock for it to wait on.
  std::atomic<bool> served_ = false;
  std::atomic<TimePoint::rep> lastActivity_;

  std::mutex launchLock_;  // guards launchUsed_
  bool launchUsed_ = false;

  // The page's answers, with and without their body, made once when the page is set.
  struct PageAnswers {
    std::string get;
    std::string head;
  };
  mutable std::mutex pageLock_;  // guards pageAnswers_, pageUrl_
  std::shared_ptr<const PageAnswers> pageAnswers_;
  std::string pageUrl_;
};
