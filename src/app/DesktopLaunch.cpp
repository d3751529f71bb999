#include "DesktopLaunch.h"

#include <QDesktopServices>
#include <QKeySequence>
#include <QMenuBar>
#include <QMessageBox>
#include <QUrl>

#include "BuildInfo.h"
#include "DesktopRegistration.h"
#include "DesktopServices.h"
#include "ManageWindow.h"

namespace {

ManageWindow* shownWindow = nullptr;

void installMenu(ManageWindow& window) {
  auto* menuBar = new QMenuBar;
  auto* menu = menuBar->addMenu("Vexmoor 3D Viewer");
  menu->addAction("About Vexmoor 3D Viewer", &window, [&window] {
    QMessageBox::about(&window, "About Vexmoor 3D Viewer",
                       QString("Vexmoor 3D Viewer ") + BuildInfo::version +
                           "\nOpens 3D models and CAD files in the Vexmoor web viewer.");
  });
  menu->addSeparator();
  auto* quit = menu->addAction("Quit Vexmoor 3D Viewer", &window, [&window] { window.cancel(); });
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  window.installMenu(menuBar);
}

}  // namespace

void runManageWindow(bool setupMode, DefaultsStore& defaults, Alerts& alerts) {
  auto registry = DesktopServices::handlerRegistry();
  Associations::Services associations{*registry, defaults, DesktopRegistration::declarationPath(),
                                      BuildInfo::applicationId};
  auto openUrl = [](const std::string& url) { QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); };
  ManageWindow window(setupMode, {associations, alerts, openUrl, BuildInfo::viewerSite});
  installMenu(window);
  shownWindow = &window;
  window.runModal();
  shownWindow = nullptr;
}

void raiseManageWindow() {
  if (!shownWindow) return;
  shownWindow->raise();
  shownWindow->activateWindow();
}
