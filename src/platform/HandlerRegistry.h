#pragma once

#include <optional>
#include <string>

// The desktop's record of which application opens which type of file. Applications are
// named by their identifiers (desktop-file ids without ".desktop" on Linux).
class HandlerRegistry {
 public:
  virtual ~HandlerRegistry() = default;
  // The content type the desktop gives a file with this extension (lower-case, no dot),
  // or nothing when it knows no type for it.
  virtual std::optional<std::string> contentTypeFor(const std::string& extension) = 0;
  // The installed application that opens files of exactly this type (never one that
  // only opens a parent type, such as a text editor for every text type).
  virtual std::optional<std::string> defaultHandler(const std::string& contentType) = 0;
  // Makes the application the default for the type. False when the desktop refused, or still
  // opens the type with another application afterwards; then the desktop's records are as
  // they were, and `why` (when given) says what stood in the way.
  virtual bool setDefaultHandler(const std::string& contentType, const std::string& applicationId,
                                 std::string* why = nullptr) = 0;
  // The name the desktop shows for the application, or nothing if it is not installed.
  virtual std::optional<std::string> applicationName(const std::string& applicationId) = 0;
};
