#include "GioHandlerRegistry.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "FileLock.h"
#include "MimeappsList.h"

namespace fs = std::filesystem;

namespace {

template <typename T>
using GPtr = std::unique_ptr<T, decltype(&g_object_unref)>;

std::string idOf(GAppInfo* app) {
  std::string id = g_app_info_get_id(app) ? g_app_info_get_id(app) : "";
  const std::string suffix = ".desktop";
  if (id.size() > suffix.size() && id.compare(id.size() - suffix.size(), suffix.size(), suffix) == 0) {
    id.resize(id.size() - suffix.size());
  }
  return id;
}

GPtr<GAppInfo> installedApplication(const std::string& applicationId) {
  auto* app = g_desktop_app_info_new((applicationId + ".desktop").c_str());
  return GPtr<GAppInfo>(app ? G_APP_INFO(app) : nullptr, g_object_unref);
}

std::vector<fs::path> splitDirs(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  std::string text = value && *value ? value : fallback;
  std::vector<fs::path> dirs;
  for (size_t start = 0; start <= text.size();) {
    size_t end = std::min(text.find(':', start), text.size());
    if (end > start) dirs.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return dirs;
}

fs::path userList() { return fs::path(g_get_user_config_dir()) / "mimeapps.list"; }

// The mimeapps.list files in the order the desktop reads them.
std::vector<fs::path> mimeappsLists() {
  std::vector<fs::path> lists{userList()};
  for (const auto& dir : splitDirs("XDG_CONFIG_DIRS", "/etc/xdg")) lists.push_back(dir / "mimeapps.list");
  lists.push_back(fs::path(g_get_user_data_dir()) / "applications/mimeapps.list");
  for (const auto& dir : splitDirs("XDG_DATA_DIRS", "/usr/local/share:/usr/share")) {
    lists.push_back(dir / "applications/mimeapps.list");
  }
  return lists;
}

// Whether a mimeapps.list names the application as the default of exactly this type.
bool isExplicitDefault(const std::string& contentType, const std::string& desktopId) {
  for (const auto& list : mimeappsLists()) {
    GKeyFile* file = g_key_file_new();
    gchar** ids = g_key_file_load_from_file(file, list.c_str(), G_KEY_FILE_NONE, nullptr)
                      ? g_key_file_get_string_list(file, "Default Applications", contentType.c_str(), nullptr, nullptr)
                      : nullptr;
    bool named = ids && g_strv_contains(ids, desktopId.c_str());
    g_strfreev(ids);
    g_key_file_free(file);
    if (named) return true;
  }
  return false;
}

std::string defaultFor(const std::string& contentType) {
  GPtr<GAppInfo> app(g_app_info_get_default_for_type(contentType.c_str(), FALSE), g_object_unref);
  return app ? g_app_info_get_id(app.get()) : "";
}

// GIO notices a change to mimeapps.list through a file monitor, shortly after the write.
bool awaitDefault(const std::string& contentType, const std::string& desktopId) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (defaultFor(contentType) == desktopId) return true;
    g_usleep(10000);
  }
  return false;
}

// The desktop reads a list of its own (gnome-mimeapps.list, say) before the user's.
std::string overriddenBecause(const std::string& contentType) {
  const char* desktops = std::getenv("XDG_CURRENT_DESKTOP");
  gchar** names = g_strsplit(desktops ? desktops : "", ":", -1);
  std::string reason;
  for (gchar** name = names; *name && reason.empty(); ++name) {
    gchar* lower = g_ascii_strdown(*name, -1);
    auto list = fs::path(g_get_user_config_dir()) / (std::string(lower) + "-mimeapps.list");
    g_free(lower);
    GKeyFile* file = g_key_file_new();
    gchar* named = g_key_file_load_from_file(file, list.c_str(), G_KEY_FILE_NONE, nullptr)
                       ? g_key_file_get_string(file, "Default Applications", contentType.c_str(), nullptr)
                       : nullptr;
    if (named) {
      reason = list.string() + " names " + named + " for " + contentType +
               " and overrides your mimeapps.list; remove that line to let your own list decide";
    }
    g_free(named);
    g_key_file_free(file);
  }
  g_strfreev(names);
  if (!reason.empty()) return reason;
  std::string shown = defaultFor(contentType);
  return "the desktop still opens " + contentType + " with " + (shown.empty() ? "no application" : shown) +
         " after the change to your mimeapps.list";
}

bool refuse(std::string* why, std::string reason) {
  if (why) *why = std::move(reason);
  return false;
}

}  // namespace

std::optional<std::string> GioHandlerRegistry::contentTypeFor(const std::string& extension) {
  gchar* type = g_content_type_guess(("x." + extension).c_str(), nullptr, 0, nullptr);
  std::optional<std::string> result;
  if (type && !g_content_type_is_unknown(type)) result = type;
  g_free(type);
  return result;
}

// GIO's default falls back to parent types; it counts here only when it is the type's own:
// the explicit default for the type, or (with any application listing the type itself)
// what GIO chose among those.
std::optional<std::string> GioHandlerRegistry::defaultHandler(const std::string& contentType) {
  GPtr<GAppInfo> app(g_app_info_get_default_for_type(contentType.c_str(), FALSE), g_object_unref);
  if (!app) return std::nullopt;
  GList* exact = g_app_info_get_recommended_for_type(contentType.c_str());
  bool ownType = exact != nullptr;
  g_list_free_full(exact, g_object_unref);
  if (!ownType) ownType = isExplicitDefault(contentType, g_app_info_get_id(app.get()));
  if (!ownType) return std::nullopt;
  return idOf(app.get());
}

// GIO's own writer would replace a linked file by a plain one and drop the user's comments.
// The check that the desktop follows the change is made under the lock, so that putting the
// file back can never undo a parallel run's change.
bool GioHandlerRegistry::setDefaultHandler(const std::string& contentType, const std::string& applicationId,
                                           std::string* why) {
  auto app = installedApplication(applicationId);
  if (!app) return refuse(why, "the desktop has no entry for " + applicationId);
  std::string desktopId = g_app_info_get_id(app.get());
  FileLock lock(fs::path(g_get_user_config_dir()) / "Vexmoor/mimeapps.lock");
  if (lock.timedOut())
    return refuse(why, "another run of this application holds the list of defaults and does not let go");
  bool written = false;
  if (MimeappsList::setDefault(userList(), contentType, desktopId, [&] {
        written = true;
        return awaitDefault(contentType, desktopId);
      })) {
    return true;
  }
  return refuse(why, written ? overriddenBecause(contentType)
                             : userList().string() +
                                   " could not be read as a key file or written (or is a link to "
                                   "nothing); it was left as it was");
}

std::optional<std::string> GioHandlerRegistry::applicationName(const std::string& applicationId) {
  auto app = installedApplication(applicationId);
  if (!app) return std::nullopt;
  return std::string(g_app_info_get_name(app.get()));
}
