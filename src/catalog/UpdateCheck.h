#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "DefaultsStore.h"

// Once a day at most, and only for someone who has associated file types: which formats
// the viewer opens that this build cannot be made the default for. The outcome is stored
// for the file types window, which shows it as a banner.
namespace UpdateCheck {

inline constexpr const char* lastCheckKey = "LastFormatCheckUtc";
inline constexpr const char* knownExtensionsKey = "KnownExtensions";
inline constexpr const char* pendingKey = "PendingUpdateFormats";

// The names of the missing formats in catalog order; nothing when the check was skipped,
// no catalog could be had, or nothing is missing. Holds its thread for up to about 12 s.
std::optional<std::vector<std::string>> findFormatsNeedingUpdate(
    DefaultsStore& defaults, const std::vector<std::string>& declaredExtensions,
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

}  // namespace UpdateCheck
