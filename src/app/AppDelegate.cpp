#include "AppDelegate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <system_error>

#include "Associations.h"
#include "BridgePage.h"
#include "Catalog.h"
#include "CompanionBundler.h"
#include "Hooks.h"
#include "UniqueFd.h"

namespace {

// A line break in a file's name would let it forge a line of what the user is told.
std::string oneLine(std::string path) {
  std::replace(path.begin(), path.end(), '\n', '?');
  std::replace(path.begin(), path.end(), '\r', '?');
  return path;
}

bool isRegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// A file the user may not read would reach the viewer as "not found", silently. Running out
// of descriptors says nothing of the file: starting the server reports that.
bool cannotBeRead(const std::string& path) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return !file.valid() && errno != EMFILE && errno != ENFILE;
}

bool writeAll(const UniqueFd& file, const std::string& text) {
  return ::write(file.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// Appends to an existing file; otherwise creates it whole, under a temporary name first,
// so that a reader never sees half of it. It holds token addresses: the user's eyes only.
void appendOrCreate(const std::string& path, const std::string& text) {
  UniqueFd existing(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  if (existing.valid()) {
    writeAll(existing, text);
    return;
  }
  std::string temporary = path + ".part-" + std::to_string(::getpid());
  UniqueFd created(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!created.valid()) return;
  bool written = writeAll(created, text);
  if (created.close() == 0 && written && ::rename(temporary.c_str(), path.c_str()) == 0) return;
  ::unlink(temporary.c_str());
}

// A model whose companions cannot be gathered is served alone.
std::string prepared(const std::string& documentPath) {
  try {
    return CompanionBundler::prepare(documentPath);
  } catch (const std::exception&) {
    return documentPath;
  }
}

}  // namespace

AppDelegate::AppDelegate(Mode mode, AppServices services) : mode_(std::move(mode)), services_(std::move(services)) {}

AppDelegate::~AppDelegate() { willTerminate(); }

void AppDelegate::didFinishLaunching() {
  switch (mode_.kind) {
    case Mode::Kind::serve:
      open(mode_.paths);
      return;
    case Mode::Kind::manage:
      showManageWindow(mode_.setup);
      return;
    case Mode::Kind::awaitDocument:
      // A document handed over by the desktop after the start still wins over the window.
      services_.runLater(std::chrono::milliseconds(400), [this] { firstRunCheck(); });
      return;
  }
}

void AppDelegate::firstRunCheck() {
  if (handledDocument_) return;
  showWindow("");
}

void AppDelegate::showWindow(const std::string& windowMode) {
  if (windowShown_) {
    services_.raiseManageWindow();
    return;
  }
  bool associated = !Config::getList(services_.defaults, Config::associatedExtensionsKey).empty();
  showManageWindow(windowMode == "setup" || (windowMode.empty() && !associated));
}

void AppDelegate::showManageWindow(bool setupMode) {
  windowShown_ = true;
  services_.activation.setRegular();
  services_.runManageWindow(setupMode);
  windowShown_ = false;
  if (sessions_.empty() && preparations_.empty()) services_.requestTermination();
}

void AppDelegate::reportFailure(const std::string& message, const std::string& informative) {
  services_.activation.setRegular();
  services_.alerts.show(AlertStyle::critical, message, informative);
}

void AppDelegate::open(const std::vector<std::string>& documentPaths) {
  handledDocument_ = true;
  bool anyFailed = false;
  for (const auto& path : documentPaths) {
    UniqueFd listening;
    if (nextListeningSocket_ < listeningSockets_.size())
      listening = std::move(listeningSockets_[nextListeningSocket_++]);
    size_t order = nextOrder_++;
    if (!startSession(path, std::move(listening), order)) {
      addressReady(order, nullptr);
      anyFailed = true;
    }
  }
  if (anyFailed) endIfNothingLeft();
}

// Sessions that run or are being prepared (and the window) go on; a failure alone ends the
// process.
void AppDelegate::endIfNothingLeft() {
  if (!sessions_.empty() || !preparations_.empty() || windowShown_) return;
  exitStatus_ = 1;
  services_.requestTermination();
}

bool AppDelegate::startSession(const std::string& documentPath, UniqueFd listening, size_t order) {
  if (!isRegularFile(documentPath)) {
    reportFailure("The file could not be found", oneLine(documentPath));
    return false;
  }
  if (cannotBeRead(documentPath)) {
    reportFailure("The file could not be opened", oneLine(documentPath));
    return false;
  }
  services_.activation.setAccessory();
  unsigned id = nextPreparation_++;
  Preparation& preparation = preparations_[id];
  preparation.documentPath = documentPath;
  preparation.listening = std::move(listening);
  preparation.order = order;
  try {
    preparation.worker = std::thread([this, id, &preparation] {
      preparation.servedPath = prepared(preparation.documentPath);
      services_.runLater(std::chrono::milliseconds(0), [this, id] { finishPreparation(id); });
    });
  } catch (const std::system_error&) {
    listening = std::move(preparation.listening);
    preparations_.erase(id);  // no thread to be had: prepared here
    return serveSession(documentPath, prepared(documentPath), std::move(listening), order);
  }
  return true;
}

void AppDelegate::finishPreparation(unsigned id) {
  auto found = preparations_.find(id);
  if (found == preparations_.end()) return;  // ended meanwhile
  found->second.worker.join();
  std::string documentPath = found->second.documentPath;
  std::string servedPath = found->second.servedPath.value_or(documentPath);
  UniqueFd listening = std::move(found->second.listening);
  size_t order = found->second.order;
  preparations_.erase(found);
  if (!serveSession(documentPath, servedPath, std::move(listening), order)) {
    addressReady(order, nullptr);
    endIfNothingLeft();
  }
}

bool AppDelegate::serveSession(const std::string& documentPath, const std::string& servedPath, UniqueFd listening,
                               size_t order) {
  auto server = std::make_unique<LoopbackServer>(servedPath, services_.clock, services_.viewerFolder);
  try {
    server->start(std::move(listening));
  } catch (const LoopbackServer::ServerError& error) {
    CompanionBundler::cleanup(servedPath, documentPath);  // nobody will serve this bundle
    reportFailure("Could not start the local file server", error.what());
    return false;
  }
  LoopbackServer& started = *server;
  sessions_.push_back({std::move(server), servedPath, documentPath});
  // Chosen but not installed, the built-in viewer gives way to the hosted one.
  const std::string builtinUrl = started.builtinViewerUrl();
  std::string viewerUrl =
      services_.viewerUrl.empty() ? FormatCatalog::viewerUrl(services_.defaults) : services_.viewerUrl;
  const bool builtinUsed = services_.builtinViewerChosen && !builtinUrl.empty();
  if (builtinUsed) viewerUrl = builtinUrl;
  if (services_.builtinViewerChosen && !builtinUsed) {
    std::cerr << "vexmoor-3dviewer: the built-in viewer was chosen but is not installed; the online viewer is used\n";
  }
  started.setPageHtml(BridgePage::build(viewerUrl, started.fileUrl(), started.fileName(), builtinUrl));
  writeHandOffFile(started);
  openBrowser(started, order);
  if (!exitTimerStarted_) {
    exitTimerStarted_ = true;
    if (services_.firstServed) services_.firstServed();
    services_.startExitTimer();
    // The viewer built in, once chosen, keeps every request on this computer.
    if (!builtinUsed) services_.startUpdateCheck();
  }
  return true;
}

void AppDelegate::writeHandOffFile(const LoopbackServer& server) {
  if (auto path = Hooks::value("VEXMOOR_STUB_URL_FILE")) {
    appendOrCreate(*path, server.fileUrl() + "\n" + server.pageUrl() + "\n");
  }
}

void AppDelegate::openBrowser(const LoopbackServer& server, size_t order) {
  if (mode_.noBrowser) {
    addressReady(order, &server);
    return;
  }
  if (Hooks::value("VEXMOOR_STUB_NO_BROWSER") == "1") return;
  if (!services_.browser.open(server.pageUrl(), server.launchUrl())) {
    reportBrowserFailure(server.pageUrl());
  }
}

void AppDelegate::addressReady(size_t order, const LoopbackServer* server) {
  if (!mode_.noBrowser) return;
  if (server) {
    addressesReady_[order] = std::pair(server->pageUrl(), server->port());
  } else {
    addressesReady_[order] = std::nullopt;
  }
  for (auto next = addressesReady_.find(nextToPrint_); next != addressesReady_.end();
       next = addressesReady_.find(++nextToPrint_)) {
    if (next->second) services_.printAddress(next->second->first, next->second->second);
    addressesReady_.erase(next);
  }
}

void AppDelegate::reportBrowserFailure(const std::string& pageUrl) {
  services_.activation.setRegular();
  services_.alerts.show(AlertStyle::warning, "Could not open your web browser",
                        "You can open the viewer manually at:\n\n" + pageUrl);
}

void AppDelegate::exitTimerTick() {
  // Ending the event loop would close a window the user is still looking at.
  if (sessions_.empty() || !preparations_.empty() || windowShown_) return;
  for (const auto& session : sessions_) {
    if (!session.server->idleExpired()) return;
  }
  services_.requestTermination();
}

void AppDelegate::willTerminate() {
  if (terminated_) return;
  terminated_ = true;
  for (auto& entry : preparations_) {
    Preparation& preparation = entry.second;
    if (preparation.worker.joinable()) preparation.worker.join();
    if (preparation.servedPath) CompanionBundler::cleanup(*preparation.servedPath, preparation.documentPath);
  }
  preparations_.clear();
  for (auto& session : sessions_) {
    session.server->stop();
    CompanionBundler::cleanup(session.servedPath, session.modelPath);
  }
}
