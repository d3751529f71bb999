#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <system_error>

#include "CompanionBundler.h"
#include "PrivateDirectory.h"

namespace fs = std::filesystem;

namespace CompanionBundler {

namespace {

constexpr size_t maxCompanions = 48;
constexpr std::uintmax_t maxCompanionBytes = 64u << 20;
constexpr std::uint64_t freeSpaceMargin = 256u << 20;

const std::set<std::string>& bundleExtensions() {
  static const std::set<std::string> extensions{"max"};
  return extensions;
}

const std::array<const char*, 4> substituteExtensions{"png", "jpg", "jpeg", "bmp"};
const std::array<const char*, 9> searchSubfolders{"",    "textures", "texture",   "maps",        "map",
                                                  "tex", "images",   "materials", "sourceimages"};

std::string lowerExtension(const std::string& name) {
  auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.find('/', dot) != std::string::npos) return {};
  std::string extension = name.substr(dot + 1);
  for (auto& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

std::vector<std::string> candidatesFor(const std::string& name) {
  if (imageExtensions().count(lowerExtension(name))) return {name};
  std::string stem = name.substr(0, name.rfind('.'));
  std::vector<std::string> candidates;
  for (const char* extension : substituteExtensions) candidates.push_back(stem + "." + extension);
  return candidates;
}

bool isFolder(const fs::path& path) {
  std::error_code error;
  return fs::is_directory(path, error);
}

bool somethingAt(const fs::path& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

// Whether `path` is a bundle folder's archive: bundleRoot/<id>/<name>, with a real folder.
bool isInsideBundleRoot(const fs::path& path) {
  auto root = bundleRoot();
  if (!root || !path.is_absolute()) return false;
  fs::path normal = path.lexically_normal();
  fs::path folder = normal.parent_path();
  struct stat info {};
  return folder.parent_path() == *root && normal.filename() != ".." && ::lstat(folder.c_str(), &info) == 0 &&
         S_ISDIR(info.st_mode);
}

}  // namespace

const std::set<std::string>& imageExtensions() {
  static const std::set<std::string> extensions{"png", "jpg", "jpeg", "bmp", "gif", "webp"};
  return extensions;
}

std::optional<std::string> findIn(const std::string& root, const std::string& name, bool allowRoot) {
  auto candidates = candidatesFor(name);
  for (const char* subfolder : searchSubfolders) {
    if (!*subfolder && !allowRoot) continue;
    fs::path folder = *subfolder ? fs::path(root) / subfolder : fs::path(root);
    if (!isFolder(folder)) continue;
    for (const auto& candidate : candidates) {
      fs::path path = folder / candidate;
      if (somethingAt(path) && imageExtensions().count(lowerExtension(path.filename()))) {
        return path.string();
      }
    }
  }
  return std::nullopt;
}

namespace {

// Whether the file starts like a PNG, JPEG, GIF, BMP or WebP image.
bool hasImageSignature(int fd) {
  unsigned char bytes[12] = {};
  ssize_t n = ::pread(fd, bytes, sizeof bytes, 0);
  if (n < 4) return false;
  auto startsWith = [&](std::initializer_list<unsigned char> signature, size_t offset = 0) {
    return std::equal(signature.begin(), signature.end(), bytes + offset);
  };
  return startsWith({0x89, 'P', 'N', 'G'}) || startsWith({0xFF, 0xD8, 0xFF}) || startsWith({'G', 'I', 'F'}) ||
         startsWith({'B', 'M'}) || (n >= 12 && startsWith({'R', 'I', 'F', 'F'}) && startsWith({'W', 'E', 'B', 'P'}, 8));
}

bool isInside(const fs::path& path, const fs::path& folder) {
  auto [folderEnd, pathAt] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
  return folderEnd == folder.end() && pathAt != path.end();
}

}  // namespace

std::optional<Companion> openCompanion(const std::string& path, const std::string& searchRoot) {
  std::error_code error;
  fs::path resolved = fs::canonical(path, error);
  fs::path root = error ? fs::path() : fs::canonical(searchRoot, error);
  if (error || !isInside(resolved, root)) return std::nullopt;
  UniqueFd file(::open(resolved.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
  struct stat info {};
  if (!file.valid() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 1 ||
      !hasImageSignature(file.get())) {
    return std::nullopt;
  }
  return Companion{path, std::move(file), static_cast<std::uint64_t>(info.st_size)};
}

void sweepStaleBundles(std::chrono::seconds maxAge) {
  if (auto root = bundleRoot()) PrivateDirectory::removeEntriesOlderThan(*root, maxAge);
}

std::optional<std::uint64_t> availableBytes(const fs::path& folder) {
  struct statvfs info {};
  if (::statvfs(folder.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

namespace {

bool hasRoomFor(std::uint64_t bytes, const FreeSpace& freeSpace) {
  auto root = bundleRoot();
  auto available = root ? freeSpace(*root) : std::nullopt;
  return available && *available >= bytes + freeSpaceMargin;
}

}  // namespace

std::string prepare(const std::string& documentPath, const FreeSpace& freeSpace) {
  sweepStaleBundles();
  if (!bundleExtensions().count(lowerExtension(fs::path(documentPath).filename()))) {
    return documentPath;
  }
  auto names = referencedImageNames(documentPath);
  if (names.empty()) return documentPath;
  // A bare file name has the empty path as its folder; the companions are beside it.
  std::error_code error;
  fs::path modelFolder = fs::absolute(documentPath, error).parent_path();
  fs::path parent = modelFolder.parent_path();
  bool searchParent = !parent.empty() && parent != modelFolder;

  std::vector<Companion> companions;
  std::uintmax_t total = 0;
  for (const auto& name : names) {
    if (companions.size() >= maxCompanions) break;
    std::optional<Companion> companion;
    if (auto found = findIn(modelFolder, name, true)) {
      companion = openCompanion(*found, modelFolder);
    } else if (searchParent && (found = findIn(parent, name, false))) {
      companion = openCompanion(*found, parent);
    }
    if (!companion || total + companion->size > maxCompanionBytes) continue;
    total += companion->size;
    companions.push_back(std::move(*companion));
  }
  if (companions.empty()) return documentPath;
  auto modelBytes = fs::file_size(documentPath, error);
  if (error || !hasRoomFor(modelBytes + total, freeSpace)) return documentPath;
  return writeBundle(documentPath, companions).value_or(documentPath);
}

void cleanup(const std::string& servedPath, const std::string& modelPath) {
  if (servedPath == modelPath || !isInsideBundleRoot(servedPath)) return;
  std::error_code ignored;
  fs::path archive = fs::path(servedPath).lexically_normal();
  fs::remove(archive, ignored);
  fs::remove_all(archive.parent_path(), ignored);
}

}  // namespace CompanionBundler
