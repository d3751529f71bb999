#include "DesktopRegistration.h"

#include <glib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "DescriptorLimit.h"
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

// A path in Exec= quoted as the desktop entry rules ask, then escaped as a string value.
std::string execArgument(const std::string& path) {
  if (path.find_first_of(" \t\n\"'\\><~|&;$*?#()`") == std::string::npos) return path;
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  std::string escaped;
  for (char c : quoted) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return escaped;
}

std::string contentOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Writes the file whole under a temporary name and renames it; true if it changed.
bool writeIfChanged(const fs::path& path, const std::string& text, bool& failed) {
  if (fs::exists(path) && contentOf(path) == text) return false;
  std::error_code error;
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

bool ensureRegistered() {
  std::string executable = executablePath();
  if (executable.empty()) return false;
  auto registered = registeredExecutable();
  if (registered && sameFile(*registered, executable)) return true;

  fs::path data = g_get_user_data_dir();
  std::string entry = Text::replaceAll(std::string(desktopEntryTemplate) + "\n", "@TRY_EXEC@", executable);
  entry = Text::replaceAll(std::move(entry), "@EXEC@", execArgument(executable));
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
