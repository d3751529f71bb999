#include "PrivateDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace PrivateDirectory {

namespace {

// Creates the folder if missing, then accepts it only if nobody but the user controls it.
bool ensurePrivateFolder(const std::filesystem::path& folder) {
  ::mkdir(folder.c_str(), 0700);
  struct stat info {};
  return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

}  // namespace

std::optional<std::filesystem::path> path() {
  const char* tmp = std::getenv("TMPDIR");
  std::filesystem::path base = tmp && *tmp == '/' ? tmp : "/tmp";
  auto folder = base / ("vexmoor-3dviewer-" + std::to_string(::geteuid()));
  if (!ensurePrivateFolder(folder)) return std::nullopt;
  return folder;
}

std::optional<std::filesystem::path> subfolder(const std::string& sub) {
  auto parent = path();
  if (!parent) return std::nullopt;
  auto folder = *parent / sub;
  if (!ensurePrivateFolder(folder)) return std::nullopt;
  return folder;
}

}  // namespace PrivateDirectory
