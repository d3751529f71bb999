#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "ArchiveOutput.h"
#include "CompanionBundler.h"
#include "PrivateDirectory.h"
#include "RandomToken.h"

namespace fs = std::filesystem;

namespace CompanionBundler {

namespace {

// Like the first 12 characters of a random UUID, lower-cased: "3f2a9c1e-7b4".
std::string newBundleId() {
  try {
    std::string hex = randomHexToken(6);
    return hex.substr(0, 8) + "-" + hex.substr(8, 3);
  } catch (const std::runtime_error&) {
    return {};
  }
}

std::string stemOf(const std::string& fileName) {
  auto dot = fileName.rfind('.');
  return dot == std::string::npos || dot == 0 ? fileName : fileName.substr(0, dot);
}

// The folders above an entry, each once, before the entry itself.
bool addFolders(ArchiveOutput& archive, const std::string& entryName) {
  for (auto slash = entryName.find('/'); slash != std::string::npos; slash = entryName.find('/', slash + 1)) {
    std::string folder = entryName.substr(0, slash + 1);
    if (!archive.has(folder) && !archive.addFolder(folder)) return false;
  }
  return true;
}

bool writeArchive(const fs::path& archivePath, const std::string& modelPath, const std::vector<Companion>& companions) {
  ArchiveOutput archive(archivePath);
  // Unzippers take a backslash for a folder; the viewer finds the model by its extension.
  std::string modelName = fs::path(modelPath).filename();
  std::replace(modelName.begin(), modelName.end(), '\\', '_');
  UniqueFd model(::open(modelPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat info {};
  if (!model.valid() || ::fstat(model.get(), &info) != 0 || !S_ISREG(info.st_mode) || !isSafeEntryName(modelName) ||
      !archive.addFile(modelName, model.get(), static_cast<std::uint64_t>(info.st_size))) {
    return false;
  }
  for (const auto& companion : companions) {
    if (!isSafeEntryName(companion.entryName)) continue;
    if (!addFolders(archive, companion.entryName)) return false;
    // A companion whose name is already taken is left out. Each is archived from the
    // descriptor it was opened by, so one renamed or deleted meanwhile is archived whole.
    if (archive.has(companion.entryName) || !companion.file.valid()) continue;
    if (!archive.addFile(companion.entryName, companion.file.get(), companion.size)) return false;
  }
  return archive.commit();
}

}  // namespace

bool isSafeEntryName(const std::string& entryName) {
  if (entryName.empty() || entryName.front() == '/' || entryName.find('\\') != std::string::npos) return false;
  fs::path path(entryName);
  return std::find(path.begin(), path.end(), "..") == path.end();
}

std::optional<fs::path> bundleRoot() { return PrivateDirectory::subfolder("Vexmoor3DViewer"); }

std::optional<std::string> writeBundle(const std::string& modelPath, const std::vector<Companion>& companions) {
  auto root = bundleRoot();
  std::string id = newBundleId();
  if (!root || id.empty()) return std::nullopt;
  fs::path folder = *root / id;
  if (::mkdir(folder.c_str(), 0700) != 0) return std::nullopt;
  fs::path archivePath = folder / (stemOf(fs::path(modelPath).filename()) + ".zip");
  if (writeArchive(archivePath, modelPath, companions)) return archivePath.string();
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return std::nullopt;
}

}  // namespace CompanionBundler
