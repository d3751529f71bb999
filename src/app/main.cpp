#include <QApplication>
#include <QTimer>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "AppDelegate.h"
#include "CommandLine.h"
#include "DesktopBrowser.h"
#include "MessageBoxAlerts.h"
#include "NoActivationPolicy.h"
#include "SettingsDefaultsStore.h"
#include "TerminalAlerts.h"
#include "TerminationSignals.h"

namespace {

bool hasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  auto arguments = CommandLine::cleanArguments(argc, argv);
  int status = CommandLine::runTerminalOnly(arguments, std::cout, std::cerr);
  if (status >= 0) return status;

  // Without a display (over SSH, say) documents are still served; alerts go to the terminal.
  const bool graphical = hasDisplay();
  std::unique_ptr<QCoreApplication> application;
  std::unique_ptr<Alerts> alerts;
  if (graphical) {
    application = std::make_unique<QApplication>(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    alerts = std::make_unique<MessageBoxAlerts>();
  } else {
    application = std::make_unique<QCoreApplication>(argc, argv);
    alerts = std::make_unique<TerminalAlerts>(std::cerr);
  }

  DesktopBrowser browser;
  NoActivationPolicy activation;
  SettingsDefaultsStore defaults;
  QTimer exitTimer;
  exitTimer.setInterval(5000);
  auto quit = [&] { QMetaObject::invokeMethod(application.get(), &QCoreApplication::quit, Qt::QueuedConnection); };
  AppDelegate delegate(CommandLine::modeFor(arguments),
                       AppServices{*alerts, browser, activation, defaults, LoopbackServer::systemNow,
                                   quit, [&] { exitTimer.start(); }, [] {}});
  QObject::connect(&exitTimer, &QTimer::timeout, [&] { delegate.exitTimerTick(); });
  TerminationSignals terminationSignals(quit);
  QTimer::singleShot(0, [&] { delegate.didFinishLaunching(); });
  application->exec();
  exitTimer.stop();
  delegate.willTerminate();
  return delegate.exitStatus();
}
