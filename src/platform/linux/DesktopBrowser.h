#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Desktop.h"

// Opens pages in the user's default web browser (the desktop's handler of http addresses),
// never putting the page address, which holds the server's token, on a command line that
// other local users could read: the browser gets a redirect page in a folder only the user
// can reach (for a snap or flatpak browser, one its sandbox can read), or, only when no such
// folder can be had, the one-time launch address. Redirect pages are deleted when the
// object goes.
class DesktopBrowser : public Browser {
 public:
  explicit DesktopBrowser(std::function<void(const std::string& pageUrl)> lateFailure = {});
  ~DesktopBrowser() override;
  DesktopBrowser(const DesktopBrowser&) = delete;
  DesktopBrowser& operator=(const DesktopBrowser&) = delete;

  bool open(const std::string& pageUrl, const std::string& launchUrl) override;

  struct LateFailure;

 private:
  std::vector<std::filesystem::path> redirectPages_;
  std::shared_ptr<LateFailure> lateFailure_;
};
