#include "DesktopRegistration.h"

#include <glib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "DescriptorLimit.h"
#include "FileLock.h"
#include "SettingsDefaultsStore.h"
#include "Text.h"

extern const std::string_view desktopEntryTemplate;
extern const std::string_view mimePackageText;

namespace fs = std::filesystem;

namespace DesktopRegistration {

namespace {

constexpr const char* desktopFileName = "com.vexmoor.3DViewer.desktop";
constexpr const char* mimeFileName = "com.vexmoor.3DViewer.xml";

std::vector<fs::path> dataDirs() {
  std::vector<fs::path> dirs{g_get_user_data_dir()};
  for (const gchar* const* dir = g_get_system_data_dirs(); *dir; ++dir) dirs.emplace_back(*dir);
  return dirs;
}

// The executable of the first of our desktop entries the desktop would find.
std::optional<fs::path> registeredExecutable() {
  for (const auto& dir : dataDirs()) {
    auto entry = dir / "applications" / desktopFileName;
    GKeyFile* file = g_key_file_new();
    gchar* tryExec = g_key_file_load_from_file(file, entry.c_str(), G_KEY_FILE_NONE, nullptr)
                         ? g_key_file_get_string(file, "Desktop Entry", "TryExec", nullptr)
                         : nullptr;
    std::optional<fs::path> found;
    if (tryExec) found = fs::path(tryExec);
    g_free(tryExec);
    g_key_file_free(file);
    if (found) return found;
  }
  return std::nullopt;
}

bool sameFile(const fs::path& a, const fs::path& b) {
  std::error_code error;
  return fs::equivalent(a, b, error);
}

// A string value as desktop entry readers unescape it.
std::string escapedValue(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\t') {
      escaped += "\\t";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

// The path as Exec= starts it: quoted when it holds a reserved character, with what keeps
// its meaning inside quotes escaped; then escaped as any string value. The path holds no '%'.
std::string execCommand(const std::string& path) {
  bool quoted = path.find_first_of(" \t\"'\\><~|&;$*?#()`") != std::string::npos;
  std::string argument;
  for (char c : path) {
    if (quoted && (c == '"' || c == '`' || c == '$' || c == '\\')) argument += '\\';
    argument += c;
  }
  return escapedValue(quoted ? '"' + argument + '"' : argument);
}

std::string contentOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Writes the file whole under a temporary name and renames it; true if it changed.
bool writeIfChanged(const fs::path& path, const std::string& text, bool& failed) {
  std::error_code error;
  if (fs::exists(path, error) && contentOf(path) == text) return false;
  fs::create_directories(path.parent_path(), error);
  auto temporary = path.string() + ".part-" + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    failed = failed || !out.flush();
  }
  if (failed || std::rename(temporary.c_str(), path.c_str()) != 0) {
    fs::remove(temporary, error);
    failed = true;
    return false;
  }
  return true;
}

void runQuietly(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (auto& argument : argv) args.push_back(argument.data());
  args.push_back(nullptr);
  auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL);
  g_spawn_sync(nullptr, args.data(), nullptr, flags, DescriptorLimit::restoreInChild, nullptr, nullptr, nullptr,
               nullptr, nullptr);
}

}  // namespace

std::string executablePath() {
  std::error_code error;
  auto path = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

std::string declarationPath() {
  fs::path folder = fs::path(executablePath()).parent_path();
  auto beside = folder / "document-types.json";
  std::error_code error;
  if (fs::exists(beside, error)) return beside.string();
  return (folder.parent_path() / "share/vexmoor-3dviewer/document-types.json").string();
}

std::string viewerFolderPath() {
  fs::path folder = fs::path(executablePath()).parent_path();
  std::error_code error;
  if (fs::is_directory(folder / "viewer", error)) return (folder / "viewer").string();
  return (folder.parent_path() / "share/vexmoor-3dviewer/viewer").string();
}

bool ensureRegistered() {
  std::string executable = executablePath();
  if (executable.empty()) return false;
  // A desktop entry is UTF-8 text and has no way to write a line break in Exec=. GLib looks
  // for the program of Exec= before it undoubles '%', so no Exec= names a path holding one
  // (starting it through another program would let a '=' in the path, or the opened file,
  // choose what runs).
  if (executable.find_first_of("\n\r%") != std::string::npos ||
      !g_utf8_validate(executable.data(), static_cast<gssize>(executable.size()), nullptr)) {
    std::cerr << "vexmoor-3dviewer: cannot register with the desktop from this folder: its path holds a line break "
                 "or '%', or is not UTF-8. Move the application to another folder.\n";
    return false;
  }
  // One registers while any other run waits, then finds it done.
  FileLock lock(SettingsDefaultsStore::lockFile());
  if (lock.timedOut()) {
    std::cerr << "vexmoor-3dviewer: another run has been registering with the desktop for too long; going on "
                 "without waiting for it.\n";
  }
  auto registered = registeredExecutable();
  if (registered && sameFile(*registered, executable)) return true;

  fs::path data = g_get_user_data_dir();
  std::string entry =
      Text::replaceAll(std::string(desktopEntryTemplate) + "\n", "@TRY_EXEC@", escapedValue(executable));
  entry = Text::replaceAll(std::move(entry), "@EXEC@", execCommand(executable));
  bool failed = false;
  if (writeIfChanged(data / "mime/packages" / mimeFileName, std::string(mimePackageText) + "\n", failed)) {
    runQuietly({"update-mime-database", (data / "mime").string()});
  }
  if (writeIfChanged(data / "applications" / desktopFileName, entry, failed)) {
    runQuietly({"update-desktop-database", (data / "applications").string()});
  }
  return !failed;
}

}  // namespace DesktopRegistration
