#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CommandLine.h"
#include "DefaultsStore.h"
#include "Desktop.h"
#include "LoopbackServer.h"

// What the delegate needs from the process around it, so it can be driven without a desktop.
struct AppServices {
  Alerts& alerts;
  Browser& browser;
  ActivationPolicy& activation;
  DefaultsStore& defaults;
  LoopbackServer::Clock clock = LoopbackServer::systemNow;
  std::function<void()> requestTermination{};  // ends the event loop soon after
  std::function<void()> startExitTimer{};      // calls exitTimerTick() every 5 seconds
  std::function<void()> startUpdateCheck{};    // once per process, with the first document
  std::function<void()> firstServed{};         // once, after the first document's addresses exist
  // Shows the file types window with the application menu; returns once it is closed.
  std::function<void(bool setupMode)> runManageWindow{};
  std::function<void()> raiseManageWindow{};  // brings the window that is shown to the front
  // Calls the function on the event loop after the delay; may be called from any thread.
  std::function<void(std::chrono::milliseconds, std::function<void()>)> runLater{};
  // The viewer chosen for this launch: the built-in one, or the address (empty: the catalog's).
  bool builtinViewerChosen = false;
  std::string viewerUrl{};
  std::string viewerFolder{};  // where the built-in viewer's files are; empty: none
  // Tells a user without a browser where a file is served: its page, and the port.
  std::function<void(const std::string& pageUrl, int port)> printAddress{};
};

// Serves the documents the application is given, one loopback server each, and ends the
// process once all of them have gone idle.
class AppDelegate {
 public:
  AppDelegate(Mode mode, AppServices services);
  ~AppDelegate();

  void didFinishLaunching();
  // Serves each document as a session of its own. One that cannot be served is reported;
  // the process ends for it only when nothing else is being served.
  void open(const std::vector<std::string>& documentPaths);
  void serve(const std::string& documentPath) { open({documentPath}); }
  // The sockets the launch's files are served on, in their order, taken before the start.
  void useListeningSockets(std::vector<UniqueFd> sockets) { listeningSockets_ = std::move(sockets); }
  // A later launch asked for the file types window: "setup", "manage", or "" for the mode
  // the settings call for. The window that is shown already comes to the front instead.
  void showWindow(const std::string& windowMode);
  void exitTimerTick();
  // The browser could not be opened on the page: the user is told where to open it.
  void reportBrowserFailure(const std::string& pageUrl);
  // Stops every server and deletes the bundles of this run; the user's files stay.
  void willTerminate();

  // 1 once an alert asked the process to end, else 0.
  int exitStatus() const { return exitStatus_; }
  bool handledDocument() const { return handledDocument_; }
  // Whether a document's bundle is still being made; it is served once that is done.
  bool preparing() const { return !preparations_.empty(); }

 private:
  struct ServeSession {
    std::unique_ptr<LoopbackServer> server;
    std::string servedPath;
    std::string modelPath;
  };

  // A document's bundle, made on a thread of its own: the event loop, and with it the
  // hand-over from later launches, never waits for the files it reads.
  struct Preparation {
    std::string documentPath;
    std::optional<std::string> servedPath;  // written by the worker, read once it is joined
    std::thread worker;
    UniqueFd listening;
    size_t order = 0;
  };

  void showManageWindow(bool setupMode);
  void firstRunCheck();
  bool startSession(const std::string& documentPath, UniqueFd listening, size_t order);
  void finishPreparation(unsigned id);
  bool serveSession(const std::string& documentPath, const std::string& servedPath, UniqueFd listening, size_t order);
  void endIfNothingLeft();
  void reportFailure(const std::string& message, const std::string& informative);
  void writeHandOffFile(const LoopbackServer& server);
  void openBrowser(const LoopbackServer& server, size_t order);
  // Without a browser: prints the addresses in the order the files were given, each once
  // the files before it are served or have failed (null).
  void addressReady(size_t order, const LoopbackServer* server);

  const Mode mode_;
  AppServices services_;
  bool handledDocument_ = false;
  bool exitTimerStarted_ = false;
  bool terminated_ = false;
  bool windowShown_ = false;
  int exitStatus_ = 0;
  std::vector<ServeSession> sessions_;
  std::map<unsigned, Preparation> preparations_;
  unsigned nextPreparation_ = 0;
  std::vector<UniqueFd> listeningSockets_;
  size_t nextListeningSocket_ = 0;
  size_t nextOrder_ = 0;
  size_t nextToPrint_ = 0;
  std::map<size_t, std::optional<std::pair<std::string, int>>> addressesReady_;
};
