#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <thread>

#include "AppDelegate.h"
#include "AssociationSwitches.h"
#include "BuildInfo.h"
#include "CommandLine.h"
#include "DesktopLaunch.h"
#include "DesktopRegistration.h"
#include "DesktopServices.h"
#include "DisplayProbe.h"
#include "PrivateDirectory.h"
#include "TerminationSignals.h"
#include "UpdateCheck.h"
#include "ViewerChoice.h"
#include "ViewerFiles.h"

namespace {

// Whether the update check may still be using the settings (and so Qt) on its thread.
std::atomic<bool> updateCheckRunning{false};

// Runs apart from the main thread, and never holds up serving or the end of the process.
void startUpdateCheck() {
  auto declared =
      Associations::declaredExtensions(Associations::readDeclaration(DesktopRegistration::declarationPath()));
  updateCheckRunning = true;
  try {
    std::thread([declared] {
      {
        auto ownStore = DesktopServices::settings();  // outlives nothing of the main thread's
        UpdateCheck::findFormatsNeedingUpdate(*ownStore, declared);
      }
      updateCheckRunning = false;
    }).detach();
  } catch (const std::system_error&) {
    updateCheckRunning = false;  // no thread to be had: the check waits for another day
  }
}

// --viewer first, then the user's settings, then the system's; an unusable value is said on
// stderr and the next one is used.
ViewerChoice chooseViewer(const std::optional<std::string>& option, const DefaultsStore& defaults) {
  std::vector<ViewerSetting> settings;
  if (option) settings.push_back({"--viewer", *option});
  if (auto user = defaults.string(FormatCatalog::viewerKey)) settings.push_back({"user settings", *user});
  for (auto& setting : FormatCatalog::systemViewerSettings(std::cerr)) settings.push_back(std::move(setting));
  return FormatCatalog::chooseViewer(settings, defaults, std::cerr);
}

bool builtinViewerInstalled(const std::string& folder) {
  return ViewerFiles::list(folder).find(ViewerFiles::page) != nullptr;
}

// What a later launch asks of this process, once the delegate is there to do it.
struct LaterLaunches {
  AppDelegate* delegate = nullptr;
  SingleInstance::Requests requests() {
    return {[this](const std::vector<std::string>& paths) {
              if (delegate) delegate->open(paths);
            },
            [this](const std::string& windowMode) {
              if (delegate) delegate->showWindow(windowMode);
            }};
  }
};

std::string windowModeOf(const Mode& mode) {
  if (mode.kind != Mode::Kind::manage) return "";
  return mode.setup ? "setup" : "manage";
}

// The account's own name: the environment's USER could say anything.
std::string accountName() {
  const passwd* entry = ::getpwuid(::geteuid());
  if (entry && entry->pw_name) return entry->pw_name;
  const char* user = std::getenv("USER");
  return user ? user : "";
}

void printAddress(const std::string& tunnelTarget, const std::string& pageUrl, int port) {
  std::cout << pageUrl << '\n';
  if (!tunnelTarget.empty()) {
    std::cout << "ssh -N -L " << port << ":127.0.0.1:" << port << ' ' << tunnelTarget << '\n';
  }
  std::cout.flush();
}

// Addresses are written to descriptor 1: had it been closed, a file or socket of ours could
// have taken its number.
void keepStandardDescriptorsOpen() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF && ::open("/dev/null", O_RDWR) != fd) std::_Exit(2);
  }
}

// Every port of the launch, taken before anything is served.
bool listenOnRequestedPorts(const Mode& mode, std::vector<UniqueFd>& sockets) {
  for (size_t at = 0; mode.port && at < mode.paths.size(); ++at) {
    try {
      sockets.push_back(LoopbackServer::listenOn(mode.port + static_cast<int>(at)));
    } catch (const LoopbackServer::ServerError& error) {
      std::cerr << "vexmoor-3dviewer: cannot serve: " << error.what() << "; nothing was served\n";
      return false;
    }
  }
  return true;
}

int runApplication(int argc, char** argv, const Mode& mode, bool graphical, std::vector<UniqueFd> listening,
                   const std::optional<std::string>& viewerOption, LaterLaunches& laterLaunches,
                   std::unique_ptr<SingleInstance>& singleInstance) {
  std::unique_ptr<QCoreApplication> application;
  std::unique_ptr<Alerts> alerts;
  if (graphical && !mode.noBrowser) {
    application = std::make_unique<QApplication>(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    alerts = DesktopServices::messageBoxAlerts();
  } else {
    application = std::make_unique<QCoreApplication>(argc, argv);
    alerts = DesktopServices::terminalAlerts(std::cerr);
  }

  AppDelegate* delegateForBrowser = nullptr;
  auto browser = DesktopServices::browser([&](const std::string& pageUrl) {
    QMetaObject::invokeMethod(
        application.get(),
        [&delegateForBrowser, pageUrl] {
          if (delegateForBrowser) delegateForBrowser->reportBrowserFailure(pageUrl);
        },
        Qt::QueuedConnection);
  });
  auto activation = DesktopServices::activationPolicy();
  auto defaults = DesktopServices::settings();
  QTimer exitTimer;
  exitTimer.setInterval(5000);
  auto quit = [&] { QMetaObject::invokeMethod(application.get(), &QCoreApplication::quit, Qt::QueuedConnection); };
  AppServices services{*alerts, *browser, *activation, *defaults, LoopbackServer::systemNow, quit};
  services.startExitTimer = [&] { exitTimer.start(); };
  services.startUpdateCheck = startUpdateCheck;
  services.firstServed = [&singleInstance] {
    if (singleInstance) singleInstance->registerNow();
  };
  services.runManageWindow = [&](bool setupMode) { runManageWindow(setupMode, *defaults, *alerts); };
  services.raiseManageWindow = raiseManageWindow;
  ViewerChoice viewer = chooseViewer(viewerOption, *defaults);
  services.builtinViewerChosen = viewer.builtin;
  services.viewerUrl = viewer.url;
  services.viewerFolder = DesktopRegistration::viewerFolderPath();
  // Queued first, so that the timer belongs to the event loop's thread whichever thread asks.
  services.runLater = [app = application.get()](std::chrono::milliseconds delay, std::function<void()> work) {
    QMetaObject::invokeMethod(
        app, [app, delay, work = std::move(work)] { QTimer::singleShot(delay, app, work); }, Qt::QueuedConnection);
  };
  // The account is looked up (a read of the user database) only for a session over SSH.
  const char* sshConnection = std::getenv("SSH_CONNECTION");
  services.printAddress = [tunnel =
                               sshConnection ? CommandLine::sshTarget(sshConnection, accountName()) : std::string()](
                              const std::string& pageUrl, int port) { printAddress(tunnel, pageUrl, port); };
  AppDelegate delegate(mode, services);
  delegate.useListeningSockets(std::move(listening));
  delegateForBrowser = &delegate;
  laterLaunches.delegate = &delegate;
  QObject::connect(&exitTimer, &QTimer::timeout, [&] { delegate.exitTimerTick(); });
  bool signalled = false;
  TerminationSignals terminationSignals([&] {
    signalled = true;
    quit();
  });
  QTimer::singleShot(0, [&] { delegate.didFinishLaunching(); });
  // A file handed over as the process was ending idle is served all the same.
  for (;;) {
    application->exec();
    if (signalled) break;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    if (!delegate.preparing()) break;
  }
  exitTimer.stop();
  // Later launches find no running instance from here on, and serve their files themselves.
  singleInstance.reset();
  laterLaunches.delegate = nullptr;
  delegate.willTerminate();
  delegateForBrowser = nullptr;
  return delegate.exitStatus();
}

int runAssociationSwitch(const std::vector<std::string>& arguments, const std::optional<std::string>& viewerOption) {
  if (AssociationSwitches::lacksOperand(arguments)) return 2;
  DesktopRegistration::ensureRegistered();
  auto registry = DesktopServices::handlerRegistry();
  auto defaults = DesktopServices::settings();
  Associations::Services services{*registry, *defaults, DesktopRegistration::declarationPath(),
                                  BuildInfo::applicationId};
  std::optional<ViewerChoice> viewer;
  if (arguments.front() == "--status") viewer = chooseViewer(viewerOption, *defaults);
  return AssociationSwitches::run(arguments, services, DesktopRegistration::executablePath(), std::cout, std::cerr,
                                  viewer ? &*viewer : nullptr,
                                  builtinViewerInstalled(DesktopRegistration::viewerFolderPath()));
}

}  // namespace

int main(int argc, char** argv) {
  keepStandardDescriptorsOpen();
  auto arguments = CommandLine::cleanArguments(argc, argv);
  std::optional<std::string> viewerOption;
  if (!CommandLine::takeViewerOption(arguments, viewerOption)) {
    std::cerr << "vexmoor-3dviewer: --viewer needs a value: builtin, or the viewer's address\n";
    return 2;
  }
  if (viewerOption && !FormatCatalog::isViewerChoice(*viewerOption)) {
    std::cerr << "vexmoor-3dviewer: --viewer takes builtin, an https address, or an http address on this computer\n";
    return 2;
  }
  if (AssociationSwitches::isSwitch(arguments)) return runAssociationSwitch(arguments, viewerOption);
  // Without a display (over SSH, say) documents are still served; alerts go to the terminal.
  const bool graphical = DisplayProbe::reachable();
  int status = CommandLine::runTerminalOnly(arguments, graphical, std::cout, std::cerr);
  if (status >= 0) return status;
  Mode mode = CommandLine::modeFor(arguments);
  // A browser needs a display; without one the addresses go to the terminal.
  if (mode.kind == Mode::Kind::serve && !graphical) mode.noBrowser = true;
  std::vector<UniqueFd> listening;
  if (!listenOnRequestedPorts(mode, listening)) return 2;
  // A reader of the addresses may stop reading early (`| head -1`): that ends nothing.
  if (mode.noBrowser) ::signal(SIGPIPE, SIG_IGN);
  // One application per desktop session: a later launch hands its files over and ends. One
  // that serves from the terminal or on chosen ports runs on its own: the running instance
  // would open a browser on its own ports.
  LaterLaunches laterLaunches;
  std::unique_ptr<SingleInstance> singleInstance;
  // A running instance would serve with its own choice of viewer.
  if (!mode.noBrowser && !mode.port && !viewerOption) {
    singleInstance = DesktopServices::singleInstance();
    // A file is served before the name is taken: a later launch needs it only once the
    // addresses exist.
    const bool serving = mode.kind == Mode::Kind::serve;
    if (!singleInstance->becomeRunningInstance(serving ? mode.paths : std::vector<std::string>{}, windowModeOf(mode),
                                               laterLaunches.requests(), serving)) {
      return 0;
    }
  }
  // GLib reads the desktop's applications once: the window's process registers first.
  if (mode.kind != Mode::Kind::serve) DesktopRegistration::ensureRegistered();
  status =
      runApplication(argc, argv, mode, graphical, std::move(listening), viewerOption, laterLaunches, singleInstance);
  PrivateDirectory::removeRunFolder();
  // A check still waiting for the network would find Qt's globals gone under it: everything
  // of ours is cleaned up by now, so the process ends without destroying them.
  if (updateCheckRunning) {
    std::fflush(nullptr);
    std::_Exit(status);
  }
  return status;
}
