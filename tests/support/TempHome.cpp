#include "TempHome.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace TestSupport {

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> sessionVariables{"XDG_CURRENT_DESKTOP", "DISPLAY", "WAYLAND_DISPLAY",
                                                "DBUS_SESSION_BUS_ADDRESS", "BROWSER"};
const std::vector<std::pair<std::string, std::string>> folders{{"HOME", "home"},
                                                               {"XDG_CONFIG_HOME", "home/.config"},
                                                               {"XDG_DATA_HOME", "home/.local/share"},
                                                               {"XDG_CACHE_HOME", "home/.cache"},
                                                               {"XDG_CONFIG_DIRS", "config-dirs"},
                                                               {"XDG_DATA_DIRS", "data-dirs"},
                                                               {"XDG_RUNTIME_DIR", "runtime"},
                                                               {"TMPDIR", "tmp"}};

// Whether the home sets the variable or the test must not inherit it.
bool isOverridden(const std::string& name) {
  return std::find(sessionVariables.begin(), sessionVariables.end(), name) != sessionVariables.end() ||
         std::any_of(folders.begin(), folders.end(), [&](const auto& folder) { return folder.first == name; });
}

}  // namespace

TempHome::TempHome() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/vexmoor-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  root_ = pattern;
  for (const auto& [name, folder] : folders) fs::create_directories(root_ / folder);
  fs::permissions(root_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);
  // GIO needs the MIME database but must not see the machine's installed applications.
  fs::create_directory_symlink("/usr/share/mime", root_ / "data-dirs/mime");
}

TempHome::~TempHome() {
  std::error_code ignored;
  fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(root_, ignored);
}

std::vector<std::string> TempHome::environment() const {
  std::vector<std::string> result;
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    if (!isOverridden(text.substr(0, text.find('=')))) result.push_back(text);
  }
  for (const auto& [variable, folder] : folders) result.push_back(variable + "=" + (root_ / folder).string());
  return result;
}

void TempHome::applyToThisProcess() const {
  for (const auto& [variable, folder] : folders) setenv(variable.c_str(), (root_ / folder).c_str(), 1);
  for (const auto& name : sessionVariables) unsetenv(name.c_str());
}

}  // namespace TestSupport
