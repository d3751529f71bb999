#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

// Folders only the user can reach, for bundles and for pages that lead to a server's token.
// A folder counts only while it is a real folder (not a link) owned by the user with no
// access for anyone else. When another user holds the fixed name first, this run gets a
// fresh folder of its own instead, removed by removeRunFolder().
namespace PrivateDirectory {

// ${TMPDIR:-/tmp}/vexmoor-3dviewer-UID, created with mode 0700 if missing; or the run's own
// folder when that name is not safe. Nothing only when neither can be had.
std::optional<std::filesystem::path> path();

// `sub` inside path(), created with mode 0700 if missing and held to the same checks.
std::optional<std::filesystem::path> subfolder(const std::string& sub);

// $XDG_RUNTIME_DIR/vexmoor-3dviewer, which no other user can create first; or the run's
// own folder when the runtime folder is unset or not the user's alone.
std::optional<std::filesystem::path> runtimePath();

// `relative` below `base`, a folder of the user's (home, runtime folder), created as needed:
// every folder on the way the user's own, a real folder (not a link) that nobody else may
// write to, the last one open to nobody else at all. Nothing when any of them is not.
std::optional<std::filesystem::path> userFolder(const std::filesystem::path& base,
                                                const std::filesystem::path& relative);

// Deletes the folder made for this run, if one was; never the fixed folders.
void removeRunFolder();

// Removes what sits directly in `folder` and was last changed more than `maxAge` ago:
// left behind by a run that was killed.
void removeEntriesOlderThan(const std::filesystem::path& folder, std::chrono::seconds maxAge);

}  // namespace PrivateDirectory
