#include <QApplication>
#include <QTimer>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "AppDelegate.h"
#include "AssociationSwitches.h"
#include "BuildInfo.h"
#include "CommandLine.h"
#include "DesktopBrowser.h"
#include "DesktopRegistration.h"
#include "DisplayProbe.h"
#include "GioHandlerRegistry.h"
#include "MessageBoxAlerts.h"
#include "NoActivationPolicy.h"
#include "PrivateDirectory.h"
#include "SettingsDefaultsStore.h"
#include "TerminalAlerts.h"
#include "TerminationSignals.h"

namespace {

int runApplication(int argc, char** argv, const std::vector<std::string>& arguments) {
  // Without a display (over SSH, say) documents are still served; alerts go to the terminal.
  const bool graphical = DisplayProbe::reachable();
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

  AppDelegate* delegateForBrowser = nullptr;
  DesktopBrowser browser([&](const std::string& pageUrl) {
    QMetaObject::invokeMethod(
        application.get(), [&delegateForBrowser, pageUrl] {
          if (delegateForBrowser) delegateForBrowser->reportBrowserFailure(pageUrl);
        },
        Qt::QueuedConnection);
  });
  NoActivationPolicy activation;
  SettingsDefaultsStore defaults;
  QTimer exitTimer;
  exitTimer.setInterval(5000);
  auto quit = [&] { QMetaObject::invokeMethod(application.get(), &QCoreApplication::quit, Qt::QueuedConnection); };
  AppDelegate delegate(CommandLine::modeFor(arguments),
                       AppServices{*alerts, browser, activation, defaults, LoopbackServer::systemNow,
                                   quit, [&] { exitTimer.start(); }, [] {}});
  delegateForBrowser = &delegate;
  QObject::connect(&exitTimer, &QTimer::timeout, [&] { delegate.exitTimerTick(); });
  TerminationSignals terminationSignals(quit);
  QTimer::singleShot(0, [&] { delegate.didFinishLaunching(); });
  application->exec();
  exitTimer.stop();
  delegate.willTerminate();
  delegateForBrowser = nullptr;
  return delegate.exitStatus();
}

int runAssociationSwitch(const std::vector<std::string>& arguments) {
  if (AssociationSwitches::lacksOperand(arguments)) return 2;
  DesktopRegistration::ensureRegistered();
  GioHandlerRegistry registry;
  SettingsDefaultsStore defaults;
  Associations::Services services{registry, defaults, DesktopRegistration::declarationPath(),
                                  BuildInfo::applicationId};
  return AssociationSwitches::run(arguments, services, DesktopRegistration::executablePath(),
                                  std::cout);
}

}  // namespace

int main(int argc, char** argv) {
  auto arguments = CommandLine::cleanArguments(argc, argv);
  if (AssociationSwitches::isSwitch(arguments)) return runAssociationSwitch(arguments);
  int status = CommandLine::runTerminalOnly(arguments, std::cout, std::cerr);
  if (status >= 0) return status;
  status = runApplication(argc, argv, arguments);
  PrivateDirectory::removeRunFolder();
  return status;
}
