#pragma once

#include <string>

// What the application asks of the desktop while it serves documents. Each has a Linux
// implementation (DesktopServices.h) and can be replaced by a fake in tests.

enum class AlertStyle { critical, warning, informational };

class Alerts {
 public:
  virtual ~Alerts() = default;
  // Shows a modal alert with one button and returns once the user dismissed it.
  virtual void show(AlertStyle style, const std::string& message, const std::string& informative) = 0;
};

class Browser {
 public:
  virtual ~Browser() = default;
  // Opens the page in the user's default web browser; false when that failed.
  // `launchUrl` leads to the page once: the last resort for a sandboxed browser when no
  // folder it can read can be had for a redirect page. It is a one-time key to the token.
  virtual bool open(const std::string& pageUrl, const std::string& launchUrl) = 0;
};

// Whether the application shows itself (Dock icon, menu bar) or stays in the background.
// Linux desktops have no such switch; the macOS port will.
class ActivationPolicy {
 public:
  virtual ~ActivationPolicy() = default;
  virtual void setRegular() = 0;
  virtual void setAccessory() = 0;
};
