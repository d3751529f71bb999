#include "AppDelegate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Associations.h"
#include "BridgePage.h"
#include "Catalog.h"
#include "CompanionBundler.h"
#include "Hooks.h"
#include "UniqueFd.h"

namespace {

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

}  // namespace

AppDelegate::AppDelegate(Mode mode, AppServices services) : mode_(std::move(mode)), services_(std::move(services)) {}

AppDelegate::~AppDelegate() { willTerminate(); }

void AppDelegate::didFinishLaunching() {
  switch (mode_.kind) {
    case Mode::Kind::serve:
      handledDocument_ = true;
      serve(mode_.path);
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
  showManageWindow(Config::getList(services_.defaults, Config::associatedExtensionsKey).empty());
}

void AppDelegate::showManageWindow(bool setupMode) {
  services_.activation.setRegular();
  services_.runManageWindow(setupMode);
  services_.requestTermination();
}

void AppDelegate::failAndTerminate(const std::string& message, const std::string& informative) {
  services_.activation.setRegular();
  services_.alerts.show(AlertStyle::critical, message, informative);
  exitStatus_ = 1;
  services_.requestTermination();
}

void AppDelegate::serve(const std::string& documentPath) {
  if (!isRegularFile(documentPath)) {
    failAndTerminate("The file could not be found", documentPath);
    return;
  }
  if (cannotBeRead(documentPath)) {
    failAndTerminate("The file could not be opened", documentPath);
    return;
  }
  services_.activation.setAccessory();
  std::string servedPath = CompanionBundler::prepare(documentPath);
  auto server = std::make_unique<LoopbackServer>(servedPath, services_.clock);
  try {
    server->start();
  } catch (const LoopbackServer::ServerError& error) {
    CompanionBundler::cleanup(servedPath, documentPath);  // nobody will serve this bundle
    failAndTerminate("Could not start the local file server", error.what());
    return;
  }
  LoopbackServer& started = *server;
  sessions_.push_back({std::move(server), servedPath, documentPath});
  started.setPageHtml(
      BridgePage::build(FormatCatalog::viewerUrl(services_.defaults), started.fileUrl(), started.fileName()));
  writeHandOffFile(started);
  openBrowser(started);
  if (!exitTimerStarted_) {
    exitTimerStarted_ = true;
    services_.startExitTimer();
    services_.startUpdateCheck();
  }
}

void AppDelegate::writeHandOffFile(const LoopbackServer& server) {
  if (auto path = Hooks::value("VEXMOOR_STUB_URL_FILE")) {
    appendOrCreate(*path, server.fileUrl() + "\n" + server.pageUrl() + "\n");
  }
}

void AppDelegate::openBrowser(const LoopbackServer& server) {
  if (Hooks::value("VEXMOOR_STUB_NO_BROWSER") == "1") return;
  if (!services_.browser.open(server.pageUrl(), server.launchUrl())) {
    reportBrowserFailure(server.pageUrl());
  }
}

void AppDelegate::reportBrowserFailure(const std::string& pageUrl) {
  services_.activation.setRegular();
  services_.alerts.show(AlertStyle::warning, "Could not open your web browser",
                        "You can open the viewer manually at:\n\n" + pageUrl);
}

void AppDelegate::exitTimerTick() {
  if (sessions_.empty()) return;
  for (const auto& session : sessions_) {
    if (!session.server->idleExpired()) return;
  }
  services_.requestTermination();
}

void AppDelegate::willTerminate() {
  if (terminated_) return;
  terminated_ = true;
  for (auto& session : sessions_) {
    session.server->stop();
    CompanionBundler::cleanup(session.servedPath, session.modelPath);
  }
}
