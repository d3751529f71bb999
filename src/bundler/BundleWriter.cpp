#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>

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

using Archive = std::unique_ptr<zip_t, decltype(&zip_discard)>;

// Adds `length` bytes of an open file (-1: up to its end) as a stored entry; the entry owns
// the file from then on, so a file that is renamed or deleted meanwhile is archived whole.
bool addStoredFile(zip_t* archive, const std::string& entryName, FILE* file, zip_int64_t length) {
  if (!file) return false;
  // libzip copies in 8 KiB pieces; a large stdio buffer saves most of the reads.
  std::setvbuf(file, nullptr, _IOFBF, 1u << 20);
  zip_source_t* source = zip_source_filep(archive, file, 0, length);
  if (!source) {
    std::fclose(file);
    return false;
  }
  zip_int64_t index = zip_file_add(archive, entryName.c_str(), source, ZIP_FL_ENC_GUESS);
  if (index < 0) {
    zip_source_free(source);
    return false;
  }
  return zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0) == 0;
}

FILE* duplicateAsStream(const UniqueFd& file) {
  UniqueFd copy(::fcntl(file.get(), F_DUPFD_CLOEXEC, 0));
  FILE* stream = copy.valid() ? ::fdopen(copy.get(), "rb") : nullptr;
  if (stream) copy.release();
  return stream;
}

// The folders above an entry, each once, before the entry itself.
bool addFolders(zip_t* archive, const std::string& entryName, std::set<std::string>& added) {
  for (auto slash = entryName.find('/'); slash != std::string::npos; slash = entryName.find('/', slash + 1)) {
    std::string folder = entryName.substr(0, slash);
    if (added.insert(folder).second && zip_dir_add(archive, folder.c_str(), ZIP_FL_ENC_GUESS) < 0) return false;
  }
  return true;
}

bool writeArchive(const fs::path& archivePath, const std::string& modelPath, const std::vector<Companion>& companions) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* output = createArchiveOutput(archivePath, &error);
  Archive archive(output ? zip_open_from_source(output, ZIP_CREATE, &error) : nullptr, zip_discard);
  zip_error_fini(&error);
  if (!archive) {
    if (output) zip_source_free(output);
    return false;
  }
  // Unzippers take a backslash for a folder; the viewer finds the model by its extension.
  std::string modelName = fs::path(modelPath).filename();
  std::replace(modelName.begin(), modelName.end(), '\\', '_');
  if (!isSafeEntryName(modelName) ||
      !addStoredFile(archive.get(), modelName, std::fopen(modelPath.c_str(), "rbe"), -1)) {
    return false;
  }
  std::set<std::string> folders;
  for (const auto& companion : companions) {
    if (!isSafeEntryName(companion.entryName)) continue;
    if (!addFolders(archive.get(), companion.entryName, folders)) return false;
    // A companion whose name is already taken is left out.
    addStoredFile(archive.get(), companion.entryName, duplicateAsStream(companion.file),
                  static_cast<zip_int64_t>(companion.size));
  }
  if (zip_close(archive.get()) != 0) return false;
  archive.release();
  return true;
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
