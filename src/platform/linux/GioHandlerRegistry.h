#pragma once

#include "HandlerRegistry.h"

// The freedesktop registry through GIO: content types from shared-mime-info, defaults in
// mimeapps.list. GLib reads the XDG folders once per process, so a process sees the
// registry as it was when it first asked, plus its own changes.
class GioHandlerRegistry : public HandlerRegistry {
 public:
  std::optional<std::string> contentTypeFor(const std::string& extension) override;
  std::optional<std::string> defaultHandler(const std::string& contentType) override;
  bool setDefaultHandler(const std::string& contentType, const std::string& applicationId,
                         std::string* why = nullptr) override;
  std::optional<std::string> applicationName(const std::string& applicationId) override;
};
