#pragma once

#include <iosfwd>
#include <string>
#include <vector>

class DefaultsStore;

// Which viewer the bridge page embeds, and where that choice came from.
struct ViewerChoice {
  bool builtin = false;  // the viewer served by the application itself
  std::string url;       // the hosted viewer's address; also the one used when no built-in viewer is installed
  std::string source;    // "--viewer", "user settings", "system settings (PATH)", "catalog" or "default"
};

// One value of the ViewerUrl setting and where it was found.
struct ViewerSetting {
  std::string source;
  std::string value;
};

namespace FormatCatalog {

inline constexpr const char* viewerKey = "ViewerUrl";
inline constexpr const char* builtinViewer = "builtin";

// ViewerUrl from the system-wide settings files (Vexmoor/3DViewer.conf, group [General]) of
// the folders in XDG_CONFIG_DIRS (/etc/xdg when unset), the most important first.
std::vector<ViewerSetting> systemViewerSettings(std::ostream& err);

// Whether --viewer's value names a viewer: builtin, or an address the rules allow.
bool isViewerChoice(const std::string& value);

// The first of `settings` that is "builtin" or a usable viewer address; each other one is
// named on `err` and passed over. Without any, the cached catalog's viewer, else the default.
ViewerChoice chooseViewer(const std::vector<ViewerSetting>& settings, const DefaultsStore& defaults, std::ostream& err);

}  // namespace FormatCatalog
