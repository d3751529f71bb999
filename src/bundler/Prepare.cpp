#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "CompanionBundler.h"
#include "PrivateDirectory.h"
#include "Text.h"

namespace fs = std::filesystem;

namespace CompanionBundler {

namespace {

constexpr size_t maxCompanions = 48;
constexpr std::uintmax_t maxCompanionBytes = 64u << 20;
constexpr std::uint64_t freeSpaceMargin = 256u << 20;

constexpr size_t maxNamedCompanions = 512;
constexpr std::uintmax_t maxNamedCompanionBytes = std::uintmax_t(2) << 30;

// Models that mention texture images by name, wherever they were when the model was made.
const std::set<std::string>& textureNamingExtensions() {
  static const std::set<std::string> extensions{"max", "fbx", "3ds"};
  return extensions;
}

const std::array<const char*, 4> substituteExtensions{"png", "jpg", "jpeg", "bmp"};
const std::array<const char*, 9> searchSubfolders{"",    "textures", "texture",   "maps",        "map",
                                                  "tex", "images",   "materials", "sourceimages"};

}  // namespace

std::string lowerExtension(const std::string& name) {
  auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.find('/', dot) != std::string::npos) return {};
  std::string extension = name.substr(dot + 1);
  for (auto& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

namespace {

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

std::optional<Companion> openInside(const std::string& path, const std::string& searchRoot, bool image) {
  std::error_code error;
  fs::path resolved = fs::canonical(path, error);
  fs::path root = error ? fs::path() : fs::canonical(searchRoot, error);
  if (error || !isInside(resolved, root)) return std::nullopt;
  UniqueFd file(::open(resolved.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
  struct stat info {};
  if (!file.valid() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 1 ||
      (image && !hasImageSignature(file.get()))) {
    return std::nullopt;
  }
  return Companion{path,
                   std::move(file),
                   static_cast<std::uint64_t>(info.st_size),
                   {},
                   static_cast<std::uint64_t>(info.st_dev),
                   static_cast<std::uint64_t>(info.st_ino)};
}

}  // namespace

std::optional<Companion> openCompanion(const std::string& path, const std::string& searchRoot) {
  auto companion = openInside(path, searchRoot, true);
  if (companion) companion->entryName = "textures/" + fs::path(path).filename().string();
  return companion;
}

std::optional<Companion> openCompanionFile(const std::string& path, const std::string& searchRoot) {
  return openInside(path, searchRoot, false);
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

// The images a model mentions by name, from its folder, its usual texture folders and
// those of the folder above.
std::vector<Companion> textureCompanions(const std::string& documentPath) {
  auto names = referencedImageNames(documentPath);
  if (names.empty()) return {};
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
    if (!companion || !isSafeEntryName(companion->entryName) || total + companion->size > maxCompanionBytes) continue;
    total += companion->size;
    companions.push_back(std::move(*companion));
  }
  return companions;
}

// The folders a model's references lead through, each listed once: one model may name
// thousands of files in one folder.
class FolderListings {
 public:
  // The entry of `folder` called `name` as written, else the first one equal ignoring case,
  // as exporters on systems that ignore case write them.
  // A folder reached under several paths (links to folders) is listed once.
  std::optional<std::string> find(const fs::path& folder, const std::string& name) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) return std::nullopt;
    auto [at, added] = listings_.try_emplace({info.st_dev, info.st_ino});
    if (added) at->second = read(folder);
    if (!at->second) return somethingAt(folder / name) ? std::optional(name) : std::nullopt;
    if (at->second->names.count(name)) return name;
    auto match = at->second->byLowerCase.find(Text::asciiLowercase(name));
    if (match == at->second->byLowerCase.end()) return std::nullopt;
    return match->second;
  }

 private:
  struct Listing {
    std::unordered_set<std::string> names;
    std::unordered_map<std::string, std::string> byLowerCase;
  };

  // Nothing when the folder cannot be listed (no read permission, say); its files may still be opened.
  static std::optional<Listing> read(const fs::path& folder) {
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    if (error) return std::nullopt;
    Listing listing;
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
      std::string name = entries->path().filename().string();
      listing.byLowerCase.try_emplace(Text::asciiLowercase(name), name);
      listing.names.insert(std::move(name));
    }
    return listing;
  }

  std::map<std::pair<dev_t, ino_t>, std::optional<Listing>> listings_;
};

// The file a model in `modelFolder` names by `reference`, relative to the folder of the file
// naming it; a path that leads elsewhere (C:\textures\wood.png) stands for the file of that
// name beside it. Addresses of other kinds (data:, http:) name none, and neither does a
// path that leads out of the model's folder: that is told from the name alone.
std::optional<fs::path> locate(FolderListings& listings, const fs::path& modelFolder, const fs::path& folder,
                               std::string reference) {
  std::replace(reference.begin(), reference.end(), '\\', '/');
  if (reference.rfind("file://", 0) == 0) reference.erase(0, 7);
  auto colon = reference.find(':');
  bool drive = colon == 1 && std::isalpha(static_cast<unsigned char>(reference[0]));
  if (reference.empty() || (colon != std::string::npos && !drive && colon < reference.find('/'))) return std::nullopt;
  fs::path written(reference);
  if (written.is_absolute() || drive) written = written.filename();
  fs::path relative = (folder / written).lexically_normal().lexically_relative(modelFolder);
  if (relative.empty() || *relative.begin() == "..") return std::nullopt;
  fs::path found = modelFolder;
  for (const auto& component : relative) {
    if (component.empty() || component == ".") continue;
    auto name = listings.find(found, component.string());
    if (!name) return std::nullopt;
    found /= *name;
  }
  return found;
}

// What glTF, OBJ, COLLADA, VRML and STEP models name by path, followed into the files they
// name (materials, inlined scenes, sub-assemblies); each at the path relative to the model.
std::vector<Companion> namedCompanions(const std::string& documentPath) {
  std::error_code error;
  fs::path model = fs::absolute(documentPath, error);
  fs::path modelFolder = error ? fs::path() : fs::canonical(model.parent_path(), error);
  struct stat modelInfo {};
  if (error || ::stat(model.c_str(), &modelInfo) != 0) return {};
  FolderListings listings;
  std::vector<Companion> companions;
  std::set<std::string> taken{model.filename().string()};
  // A file reached under several names (links, a link to a folder of its own) travels once,
  // under the first; the model never travels as its own companion.
  std::set<std::pair<std::uint64_t, std::uint64_t>> files{{modelInfo.st_dev, modelInfo.st_ino}};
  std::vector<fs::path> naming{modelFolder / model.filename()};
  std::uintmax_t total = 0;
  for (size_t next = 0; next < naming.size() && companions.size() < maxNamedCompanions; ++next) {
    for (const auto& reference : referencedFiles(naming[next])) {
      auto found = locate(listings, modelFolder, naming[next].parent_path(), reference);
      if (!found) continue;
      std::string entry = found->lexically_relative(modelFolder).generic_string();
      if (!isSafeEntryName(entry) || !taken.insert(entry).second) continue;
      auto companion = openCompanionFile(*found, modelFolder);
      if (!companion || !files.insert({companion->device, companion->inode}).second ||
          total + companion->size > maxNamedCompanionBytes) {
        continue;
      }
      total += companion->size;
      companion->entryName = entry;
      if (namesCompanionFiles(*found)) naming.push_back(*found);
      companions.push_back(std::move(*companion));
      if (companions.size() >= maxNamedCompanions) break;
    }
  }
  return companions;
}

}  // namespace

std::string prepare(const std::string& documentPath, const FreeSpace& freeSpace) try {
  sweepStaleBundles();
  std::vector<Companion> companions;
  if (textureNamingExtensions().count(lowerExtension(fs::path(documentPath).filename()))) {
    companions = textureCompanions(documentPath);
  } else if (namesCompanionFiles(documentPath)) {
    companions = namedCompanions(documentPath);
  }
  if (companions.empty()) return documentPath;
  std::uintmax_t total = 0;
  for (const auto& companion : companions) total += companion.size;
  std::error_code error;
  auto modelBytes = fs::file_size(documentPath, error);
  // Bundles are written one at a time, so that each counts the room the ones before it took.
  static std::mutex writing;
  std::lock_guard lock(writing);
  if (error || !hasRoomFor(modelBytes + total, freeSpace)) return documentPath;
  return writeBundle(documentPath, companions).value_or(documentPath);
} catch (const std::exception& error) {
  // A model is served all the same, if without the files beside it.
  std::cerr << "vexmoor-3dviewer: " << documentPath << " is served alone: " << error.what() << "\n";
  return documentPath;
}

void cleanup(const std::string& servedPath, const std::string& modelPath) {
  if (servedPath == modelPath || !isInsideBundleRoot(servedPath)) return;
  std::error_code ignored;
  fs::path archive = fs::path(servedPath).lexically_normal();
  fs::remove(archive, ignored);
  fs::remove_all(archive.parent_path(), ignored);
}

}  // namespace CompanionBundler
