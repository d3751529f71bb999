#include "DesktopBrowser.h"

#include <fcntl.h>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "DescriptorLimit.h"
#include "PrivateDirectory.h"
#include "UniqueFd.h"

struct DesktopBrowser::LateFailure {
  std::mutex lock;
  std::function<void(const std::string&)> report;  // cleared when the browser object goes
};

namespace {

using namespace std::chrono_literals;
constexpr auto stalePageAge = std::chrono::duration_cast<std::chrono::seconds>(24h);

// A name that stays one folder name (a snap's, a flatpak's application id).
bool isPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") ==
             std::string::npos;
}

struct PageFolder {
  bool sandboxed = false;
  std::optional<std::filesystem::path> folder;  // nothing: no folder the browser can read
};

// A snap's folder in the home: the snap named by /snap/NAME/... or /snap/bin/NAME[.APP].
PageFolder snapFolder(const std::string& command) {
  bool launcher = command.find("/snap/bin/") != std::string::npos;
  std::string name =
      launcher ? std::filesystem::path(command).filename().string() : command.substr(6, command.find('/', 6) - 6);
  name = name.substr(0, name.find('.'));
  if (!isPlainName(name)) return {true, std::nullopt};
  return {true, PrivateDirectory::userFolder(g_get_home_dir(),
                                             std::filesystem::path("snap") / name / "common/vexmoor-3dviewer")};
}

// The folder flatpak shares with the application that `flatpak run [options] APP-ID` starts.
PageFolder flatpakFolder(std::vector<std::string>::const_iterator options,
                         std::vector<std::string>::const_iterator end) {
  auto id = std::find_if(options, end, [](const std::string& word) { return word.rfind('-', 0) != 0; });
  const char* runtime = g_get_user_runtime_dir();
  if (id == end || !isPlainName(*id) || !runtime) return {true, std::nullopt};
  return {true, PrivateDirectory::userFolder(runtime, std::filesystem::path("app") / *id / "vexmoor-3dviewer")};
}

// Snap and flatpak browsers cannot read our private folders, but each can read a folder of
// the user's that other users cannot; any other browser gets the private runtime folder.
PageFolder pageFolderFor(GAppInfo* app) {
  const char* commandLine = g_app_info_get_commandline(app);
  gchar** argv = nullptr;
  std::vector<std::string> words;
  if (commandLine && g_shell_parse_argv(commandLine, nullptr, &argv, nullptr)) {
    words.assign(argv, argv + g_strv_length(argv));
    g_strfreev(argv);
  }
  for (auto word = words.cbegin(); word != words.cend(); ++word) {
    if (word->rfind("/snap/", 0) == 0 || word->find("/snap/bin/") != std::string::npos) return snapFolder(*word);
    if (std::filesystem::path(*word).filename() == "flatpak" && word + 1 != words.cend() && word[1] == "run") {
      return flatpakFolder(word + 2, words.cend());
    }
  }
  return {false, PrivateDirectory::runtimePath()};
}

std::optional<std::filesystem::path> writeRedirectPage(const std::filesystem::path& folder,
                                                       const std::string& pageUrl) {
  PrivateDirectory::removeEntriesOlderThan(folder, stalePageAge);
  gchar* unique = g_uuid_string_random();
  auto path = folder / ("open-" + std::string(unique) + ".html");
  g_free(unique);
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) return std::nullopt;
  std::string html =
      "<!doctype html>\n<meta charset=\"utf-8\">\n<title>Vexmoor 3D Viewer</title>\n"
      "<meta http-equiv=\"refresh\" content=\"0;url=" +
      pageUrl +
      "\">\n"
      "<a href=\"" +
      pageUrl + "\">Open the viewer</a>\n";
  bool written = ::write(file.get(), html.data(), html.size()) == static_cast<ssize_t>(html.size());
  if (!written) {
    ::unlink(path.c_str());
    return std::nullopt;
  }
  return path;
}

bool launch(GAppInfo* app, const std::string& uri) {
  GList uris{const_cast<char*>(uri.c_str()), nullptr, nullptr};
  GError* error = nullptr;
  bool launched = G_IS_DESKTOP_APP_INFO(app) ? g_desktop_app_info_launch_uris_as_manager(
                                                   G_DESKTOP_APP_INFO(app), &uris, nullptr, G_SPAWN_SEARCH_PATH,
                                                   DescriptorLimit::restoreInChild, nullptr, nullptr, nullptr, &error)
                                             : g_app_info_launch_uris(app, &uris, nullptr, &error);
  if (error) g_error_free(error);
  return launched;
}

// Without a registered browser, xdg-open is the desktop's own last resort. It may run the
// browser in the foreground, so it is waited for on a thread of its own.
bool xdgOpen(const std::string& uri, const std::string& pageUrl,
             std::shared_ptr<DesktopBrowser::LateFailure> lateFailure) {
  char program[] = "xdg-open";
  char* argv[] = {program, const_cast<char*>(uri.c_str()), nullptr};
  GPid pid = 0;
  auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD);
  if (!g_spawn_async(nullptr, argv, nullptr, flags, DescriptorLimit::restoreInChild, nullptr, &pid, nullptr)) {
    return false;
  }
  try {
    std::thread([pid, pageUrl, lateFailure] {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
      std::lock_guard guard(lateFailure->lock);
      if (lateFailure->report) lateFailure->report(pageUrl);
    }).detach();
  } catch (const std::system_error&) {
    // Nobody waits for it; its end is not reported.
  }
  return true;
}

}  // namespace

DesktopBrowser::DesktopBrowser(std::function<void(const std::string&)> lateFailure)
    : lateFailure_(std::make_shared<LateFailure>()) {
  lateFailure_->report = std::move(lateFailure);
}

DesktopBrowser::~DesktopBrowser() {
  {
    std::lock_guard guard(lateFailure_->lock);
    lateFailure_->report = nullptr;
  }
  for (const auto& page : redirectPages_) ::unlink(page.c_str());
}

bool DesktopBrowser::open(const std::string& pageUrl, const std::string& launchUrl) {
  GAppInfo* app = g_app_info_get_default_for_uri_scheme("http");
  auto target = app ? pageFolderFor(app) : PageFolder{false, PrivateDirectory::runtimePath()};
  std::optional<std::string> uri;
  // The launch address is on the command line for every local user to read: only when a
  // sandboxed browser can be handed nothing else.
  if (!target.folder && target.sandboxed) {
    uri = launchUrl;
  } else if (auto page = target.folder ? writeRedirectPage(*target.folder, pageUrl) : std::nullopt) {
    redirectPages_.push_back(*page);
    gchar* fileUri = g_filename_to_uri(page->c_str(), nullptr, nullptr);
    if (fileUri) uri = fileUri;
    g_free(fileUri);
  }
  bool opened = uri && (app ? launch(app, *uri) : xdgOpen(*uri, pageUrl, lateFailure_));
  if (app) g_object_unref(app);
  return opened;
}
