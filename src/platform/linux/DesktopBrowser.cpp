#include "DesktopBrowser.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "PrivateDirectory.h"

extern char** environ;

namespace {

// Snap and Flatpak browsers cannot see the user's temporary folder.
bool runsSandboxed(GAppInfo* app) {
  const char* commandLine = g_app_info_get_commandline(app);
  std::string command = commandLine ? commandLine : "";
  return command.rfind("/snap/", 0) == 0 || command.find("/snap/bin/") != std::string::npos ||
         command.find("flatpak run") != std::string::npos;
}

std::optional<std::filesystem::path> writeRedirectPage(const std::string& pageUrl) {
  auto folder = PrivateDirectory::subfolder("pages");
  if (!folder) return std::nullopt;
  gchar* unique = g_uuid_string_random();
  auto path = *folder / ("open-" + std::string(unique) + ".html");
  g_free(unique);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return std::nullopt;
  std::string html =
      "<!doctype html>\n<meta charset=\"utf-8\">\n<title>Vexmoor 3D Viewer</title>\n"
      "<meta http-equiv=\"refresh\" content=\"0;url=" + pageUrl + "\">\n"
      "<a href=\"" + pageUrl + "\">Open the viewer</a>\n";
  bool written = ::write(fd, html.data(), html.size()) == static_cast<ssize_t>(html.size());
  ::close(fd);
  if (!written) {
    ::unlink(path.c_str());
    return std::nullopt;
  }
  return path;
}

bool launch(GAppInfo* app, const std::string& uri) {
  GList uris{const_cast<char*>(uri.c_str()), nullptr, nullptr};
  GError* error = nullptr;
  bool launched = g_app_info_launch_uris(app, &uris, nullptr, &error);
  if (error) g_error_free(error);
  return launched;
}

// Without a registered browser, xdg-open is the desktop's own last resort.
bool xdgOpen(const std::string& uri) {
  std::string program = "xdg-open";
  char* argv[] = {program.data(), const_cast<char*>(uri.c_str()), nullptr};
  pid_t pid = -1;
  if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

DesktopBrowser::~DesktopBrowser() {
  for (const auto& page : redirectPages_) ::unlink(page.c_str());
}

bool DesktopBrowser::open(const std::string& pageUrl, const std::string& launchUrl) {
  GAppInfo* app = g_app_info_get_default_for_uri_scheme("http");
  std::optional<std::string> uri;
  if (app && runsSandboxed(app)) {
    uri = launchUrl;
  } else if (auto page = writeRedirectPage(pageUrl)) {
    redirectPages_.push_back(*page);
    gchar* fileUri = g_filename_to_uri(page->c_str(), nullptr, nullptr);
    if (fileUri) uri = fileUri;
    g_free(fileUri);
  } else {
    uri = launchUrl;
  }
  bool opened = uri && (app ? launch(app, *uri) : xdgOpen(*uri));
  if (app) g_object_unref(app);
  return opened;
}
