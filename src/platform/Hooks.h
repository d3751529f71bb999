#pragma once

#include <optional>
#include <string>

// Overrides for tests and developers: where the catalog comes from, whether the browser
// opens, where the served addresses are written. Looked up in the environment, then in
// the test hooks file.
namespace Hooks {

// The test hooks file: $XDG_DATA_HOME/Vexmoor/3DViewer/test-hooks.json on Linux.
const std::string& path();

// The non-empty override for `key`, or nothing. The file is read again on every call.
std::optional<std::string> value(const std::string& key);

}  // namespace Hooks
