#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace PrivateDirectory {

// The per-user temporary folder, ${TMPDIR:-/tmp}/vexmoor-3dviewer-UID on Linux: created
// with mode 0700 if missing, and used only while it is a real folder (not a link) owned by
// the user with no access for anyone else. Nothing when it fails those checks.
std::optional<std::filesystem::path> path();

// `sub` inside the private folder, created with mode 0700 if missing and held to the same
// checks. Nothing when that is not possible.
std::optional<std::filesystem::path> subfolder(const std::string& sub);

}  // namespace PrivateDirectory
