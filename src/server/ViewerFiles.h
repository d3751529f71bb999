#pragma once

#include <map>
#include <string>
#include <string_view>

// The built-in viewer's files, listed once: a request can only name one of them, never a
// path, so nothing it holds reaches the file system.
class ViewerFiles {
 public:
  // The viewer's page: without it, the built-in viewer is not installed.
  static constexpr std::string_view page = "app/viewer.html";

  // The regular files under `folder`, by their path relative to it ("app/viewer.html").
  // Links, and names with anything but letters, digits and "._-" between the slashes, are
  // left out. Empty when the folder is missing or unreadable.
  static ViewerFiles list(const std::string& folder);

  // The file's path on disk for exactly that name, or nullptr.
  const std::string* find(std::string_view name) const;
  bool empty() const { return files_.empty(); }

  // The Content-Type for a listed name, from its extension.
  static std::string_view contentType(std::string_view name);

 private:
  std::map<std::string, std::string, std::less<>> files_;
};
