#include "TempHome.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace TestSupport {

namespace fs = std::filesystem;

const std::vector<std::string>& desktopSessionVariables() {
  static const std::vector<std::string> names{"XDG_CURRENT_DESKTOP", "DISPLAY", "WAYLAND_DISPLAY",
                                              "DBUS_SESSION_BUS_ADDRESS", "BROWSER"};
  return names;
}

TempHome::TempHome() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/vexmoor-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  root_ = fs::path(pattern);
  for (const char* sub :
       {"home/.config", "home/.local/share", "home/.cache", "runtime", "tmp", "config-dirs", "data-dirs"}) {
    fs::create_directories(root_ / sub);
  }
  fs::permissions(root_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);
  // GIO needs the MIME database but must not see the machine's installed applications.
  std::error_code ignored;
  fs::create_directory_symlink("/usr/share/mime", root_ / "data-dirs/mime", ignored);
}

TempHome::~TempHome() {
  std::error_code ignored;
  fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(root_, ignored);
}

std::vector<std::pair<std::string, std::string>> TempHome::overrides() const {
  return {{"HOME", home()},
          {"XDG_CONFIG_HOME", configHome()},
          {"XDG_DATA_HOME", dataHome()},
          {"XDG_CACHE_HOME", root_ / "home/.cache"},
          {"XDG_CONFIG_DIRS", root_ / "config-dirs"},
          {"XDG_DATA_DIRS", root_ / "data-dirs"},
          {"XDG_RUNTIME_DIR", root_ / "runtime"},
          {"TMPDIR", tmp()}};
}

std::vector<std::string> TempHome::environment() const {
  auto replaced = overrides();
  auto isReplacedOrRemoved = [&](const std::string& name) {
    for (const auto& [key, value] : replaced) {
      if (key == name) return true;
    }
    for (const auto& removed : desktopSessionVariables()) {
      if (removed == name) return true;
    }
    return false;
  };
  std::vector<std::string> result;
  for (char** entry = environ; *entry; ++entry) {
    std::string text(*entry);
    if (!isReplacedOrRemoved(text.substr(0, text.find('=')))) result.push_back(text);
  }
  for (const auto& [key, value] : replaced) result.push_back(key + "=" + value);
  return result;
}

void TempHome::applyToThisProcess() const {
  for (const auto& [key, value] : overrides()) setenv(key.c_str(), value.c_str(), 1);
  for (const auto& name : desktopSessionVariables()) unsetenv(name.c_str());
}

}  // namespace TestSupport
