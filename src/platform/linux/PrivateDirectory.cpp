#include "PrivateDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

namespace fs = std::filesystem;

namespace PrivateDirectory {

namespace {

bool isPrivateFolder(const fs::path& folder) {
  struct stat info {};
  return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
         (info.st_mode & 077) == 0;
}

// Creates the folder if missing, then accepts it only if nobody but the user controls it.
bool ensurePrivateFolder(const fs::path& folder) {
  ::mkdir(folder.c_str(), 0700);
  return isPrivateFolder(folder);
}

fs::path temporaryBase() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp == '/' ? tmp : "/tmp";
}

std::string userFolderName() { return "vexmoor-3dviewer-" + std::to_string(::geteuid()); }

std::mutex runFolderLock;
std::optional<fs::path> runFolder;

// mkdtemp makes a new name with mode 0700 that nobody could have prepared for us.
std::optional<fs::path> runFolderPath() {
  std::lock_guard guard(runFolderLock);
  if (!runFolder) {
    std::string pattern = (temporaryBase() / (userFolderName() + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data())) runFolder = fs::path(pattern);
  }
  return runFolder;
}

}  // namespace

std::optional<fs::path> path() {
  auto folder = temporaryBase() / userFolderName();
  if (ensurePrivateFolder(folder)) return folder;
  return runFolderPath();
}

std::optional<fs::path> subfolder(const std::string& sub) {
  auto parent = path();
  if (!parent) return std::nullopt;
  auto folder = *parent / sub;
  if (!ensurePrivateFolder(folder)) return std::nullopt;
  return folder;
}

std::optional<fs::path> runtimePath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime == '/' && isPrivateFolder(runtime)) {
    auto folder = fs::path(runtime) / "vexmoor-3dviewer";
    if (ensurePrivateFolder(folder)) return folder;
  }
  return runFolderPath();
}

std::optional<fs::path> userFolder(const fs::path& base, const fs::path& relative) {
  struct stat info {};
  if (::stat(base.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) return std::nullopt;
  fs::path folder = base;
  for (const auto& component : relative) {
    if (component == ".." || component == ".") return std::nullopt;
    folder /= component;
    ::mkdir(folder.c_str(), 0700);
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 022) != 0) {
      return std::nullopt;
    }
  }
  if (!isPrivateFolder(folder)) return std::nullopt;
  return folder;
}

void removeRunFolder() {
  std::lock_guard guard(runFolderLock);
  if (!runFolder) return;
  std::error_code ignored;
  fs::remove_all(*runFolder, ignored);
  runFolder.reset();
}

void removeEntriesOlderThan(const fs::path& folder, std::chrono::seconds maxAge) {
  std::error_code error;
  auto cutOff = fs::file_time_type::clock::now() - maxAge;
  // Stepped with an error code: a folder that goes away meanwhile must not throw.
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
    std::error_code entryError;
    auto modified = fs::last_write_time(entry->path(), entryError);
    if (!entryError && modified < cutOff) fs::remove_all(entry->path(), entryError);
  }
}

}  // namespace PrivateDirectory
