#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "DefaultsStore.h"
#include "Desktop.h"
#include "HandlerRegistry.h"
#include "SingleInstance.h"

// The desktop's implementations of the platform interfaces (the vexmoor_desktop library:
// Qt, GIO). The core libraries see only the interfaces.
namespace DesktopServices {

// Qt message boxes; needs a QApplication.
std::unique_ptr<Alerts> messageBoxAlerts();
// For a session without a display (over SSH, say): written to `out`.
std::unique_ptr<Alerts> terminalAlerts(std::ostream& out);
// The user's default web browser. `lateFailure` is called, from another thread, when
// xdg-open (the fallback without a registered browser, which may run the browser in the
// foreground) ends in failure after open() returned.
std::unique_ptr<Browser> browser(std::function<void(const std::string& pageUrl)> lateFailure = {});
std::unique_ptr<ActivationPolicy> activationPolicy();
// The application's settings file, $XDG_CONFIG_HOME/Vexmoor/3DViewer.conf.
std::unique_ptr<DefaultsStore> settings();
// The freedesktop registry of content types and default applications.
std::unique_ptr<HandlerRegistry> handlerRegistry();
// The application's name on the session bus.
std::unique_ptr<SingleInstance> singleInstance();

}  // namespace DesktopServices
