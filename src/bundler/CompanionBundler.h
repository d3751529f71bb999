#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "UniqueFd.h"

// Serving a model together with the files it needs beside it, as one zip bundle: the
// texture images a .max, FBX or 3DS model mentions, and the buffers, materials, textures
// and parts that glTF, OBJ, COLLADA, VRML and STEP models name by path.
namespace CompanionBundler {

// The extension of a file name, lower-case, without its dot; "" when it has none.
std::string lowerExtension(const std::string& fileName);

// Extensions a companion file may have, lower-case.
const std::set<std::string>& imageExtensions();

// The image file names that the model's bytes mention, as 8-bit or UTF-16LE text: at most
// 192, each at most 160 characters, no two equal ignoring case, in order of first
// appearance (8-bit text first). Never fails: an unreadable file gives no names.
std::vector<std::string> referencedImageNames(const std::string& path);

// The per-user folder that holds the bundle folders; created private to the user if
// missing. Nothing when the folder is not safe to write (not ours, open to others, a link).
std::optional<std::filesystem::path> bundleRoot();

// A companion image opened once: what was checked is exactly what gets archived, however
// the file is changed or replaced meanwhile.
struct Companion {
  std::string path;
  UniqueFd file;
  std::uint64_t size = 0;
  std::string entryName;  // where it goes in the bundle
  std::uint64_t device = 0, inode = 0;
};

// Whether an unzipper writes an entry of this name inside its folder whatever it takes for a
// separator: no `\`, no leading `/`, no `..` component.
bool isSafeEntryName(const std::string& entryName);

// The image at `path` when it is a non-empty regular file that starts like an image and,
// links followed, lies inside `searchRoot` (a model must not pull in pictures from
// elsewhere). Never blocks: a FIFO or device in its place is refused.
std::optional<Companion> openCompanion(const std::string& path, const std::string& searchRoot);
// The same for any kind of file, not only images.
std::optional<Companion> openCompanionFile(const std::string& path, const std::string& searchRoot);

// Whether files of this kind name other files by path (glTF, OBJ, MTL, COLLADA, VRML, STEP).
bool namesCompanionFiles(const std::string& path);
// The paths the file names, as written (percent-escapes decoded), in order; "" entries and
// addresses of other kinds included, for the caller to sort out. At most the first 10,000,
// with a line on standard error when there were more.
std::vector<std::string> referencedFiles(const std::string& path);

// Packs the model and its companions into bundleRoot/<id>/<model stem>.zip, entries
// stored, each companion under its entry name as exactly the bytes it had when opened. The
// archive appears only once complete.
std::optional<std::string> writeBundle(const std::string& modelPath, const std::vector<Companion>& companions);

// The first acceptable file for a referenced name under `root`, searching the root itself
// (when allowed) and its usual texture folders.
std::optional<std::string> findIn(const std::string& root, const std::string& name, bool allowRoot);

// Removes bundle folders older than `maxAge` (a day): left behind by a run that ended abnormally.
void sweepStaleBundles(std::chrono::seconds maxAge = std::chrono::hours(24));

// The bytes a folder's file system has free for the user, or nothing when it cannot tell.
using FreeSpace = std::function<std::optional<std::uint64_t>(const std::filesystem::path& folder)>;
std::optional<std::uint64_t> availableBytes(const std::filesystem::path& folder);

// The path to serve for a document: the document itself, or a bundle of a .max model and
// the textures it mentions when the bundle folder has room for it and a margin to spare
// (where the temporary folder is memory, a large bundle would take the system's).
std::string prepare(const std::string& documentPath, const FreeSpace& freeSpace = availableBytes);

// Deletes the bundle served in place of a model; never anything outside the bundle root.
void cleanup(const std::string& servedPath, const std::string& modelPath);

}  // namespace CompanionBundler
