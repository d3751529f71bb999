#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Serving a .max model together with the texture images it mentions, as one zip bundle.
namespace CompanionBundler {

// Extensions a companion file may have, lower-case.
const std::set<std::string>& imageExtensions();

// The image file names that the model's bytes mention, as 8-bit or UTF-16LE text: at most
// 192, each at most 160 characters, no two equal ignoring case, in order of first
// appearance (8-bit text first). Never fails: an unreadable file gives no names.
std::vector<std::string> referencedImageNames(const std::string& path);

// The per-user folder that holds the bundle folders; created private to the user if
// missing. Nothing when the folder is not safe to write (not ours, open to others, a link).
std::optional<std::filesystem::path> bundleRoot();

// Packs the model and its companions (referenced name -> path found) into
// bundleRoot/<id>/<model stem>.zip, entries stored. The archive appears only once complete.
std::optional<std::string> writeBundle(const std::string& modelPath,
                                       const std::map<std::string, std::string>& companions);

// The first acceptable file for a referenced name under `root`, searching the root itself
// (when allowed) and its usual texture folders.
std::optional<std::string> findIn(const std::string& root, const std::string& name,
                                  bool allowRoot);

// Whether the file starts like a PNG, JPEG, GIF, BMP or WebP image.
bool hasImageSignature(const std::string& path);

// Removes bundle folders older than `maxAge` (a day): left behind by a run that ended abnormally.
void sweepStaleBundles(std::chrono::seconds maxAge = std::chrono::hours(24));

// The path to serve for a document: the document itself, or a bundle of a .max model and
// the textures it mentions.
std::string prepare(const std::string& documentPath);

// Deletes the bundle served in place of a model; never anything outside the bundle root.
void cleanup(const std::string& servedPath, const std::string& modelPath);

}  // namespace CompanionBundler
