#pragma once

#include <functional>
#include <optional>
#include <string>

// The user's mimeapps.list, changed line by line: a change rewrites only the entries it
// changes, so comments, spacing and every other entry stay as the user wrote them.
namespace MimeappsList {

// The text with `desktopId` made the default of the type and first among its added
// associations, and taken off its removed ones; nothing when the text is not a key file.
std::optional<std::string> withDefault(const std::string& text, const std::string& contentType,
                                       const std::string& desktopId);

// Makes `desktopId` the default of the type in the file at `path`. A link is followed and
// the file it points to replaced atomically in its own folder, keeping its mode. False,
// with nothing written, when the file cannot be parsed or written. False too when `holds`,
// asked after the write, finds the change without effect: the file is then put back byte
// for byte, or removed again when there was none.
bool setDefault(const std::string& path, const std::string& contentType, const std::string& desktopId,
                const std::function<bool()>& holds);

}  // namespace MimeappsList
