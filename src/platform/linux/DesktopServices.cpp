#include "DesktopServices.h"

#include "BusSingleInstance.h"
#include "DesktopBrowser.h"
#include "GioHandlerRegistry.h"
#include "MessageBoxAlerts.h"
#include "NoActivationPolicy.h"
#include "SettingsDefaultsStore.h"
#include "TerminalAlerts.h"

namespace DesktopServices {

std::unique_ptr<Alerts> messageBoxAlerts() { return std::make_unique<MessageBoxAlerts>(); }

std::unique_ptr<Alerts> terminalAlerts(std::ostream& out) { return std::make_unique<TerminalAlerts>(out); }

std::unique_ptr<Browser> browser(std::function<void(const std::string&)> lateFailure) {
  return std::make_unique<DesktopBrowser>(std::move(lateFailure));
}

std::unique_ptr<ActivationPolicy> activationPolicy() { return std::make_unique<NoActivationPolicy>(); }

std::unique_ptr<DefaultsStore> settings() { return std::make_unique<SettingsDefaultsStore>(); }

std::unique_ptr<HandlerRegistry> handlerRegistry() { return std::make_unique<GioHandlerRegistry>(); }

std::unique_ptr<SingleInstance> singleInstance() { return std::make_unique<BusSingleInstance>(); }

}  // namespace DesktopServices
