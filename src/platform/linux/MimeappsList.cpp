#include "MimeappsList.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace MimeappsList {

namespace {

using KeyFile = std::unique_ptr<GKeyFile, decltype(&g_key_file_free)>;

constexpr const char* defaultsGroup = "Default Applications";
constexpr const char* addedGroup = "Added Associations";
constexpr const char* removedGroup = "Removed Associations";

KeyFile parse(const std::string& text) {
  KeyFile file(g_key_file_new(), g_key_file_free);
  auto flags = static_cast<GKeyFileFlags>(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS);
  if (!g_key_file_load_from_data(file.get(), text.data(), text.size(), flags, nullptr)) file.reset();
  return file;
}

std::vector<std::string> listOf(GKeyFile* file, const char* group, const std::string& key) {
  std::vector<std::string> values;
  gchar** list = g_key_file_get_string_list(file, group, key.c_str(), nullptr, nullptr);
  for (gchar** value = list; value && *value; ++value) values.emplace_back(*value);
  g_strfreev(list);
  return values;
}

// The entry as GLib writes it, so that values are escaped the way it reads them back.
std::string entryLine(const std::string& key, const std::vector<std::string>& values, bool asList) {
  KeyFile file(g_key_file_new(), g_key_file_free);
  if (asList) {
    std::vector<const gchar*> pointers;
    for (const auto& value : values) pointers.push_back(value.c_str());
    g_key_file_set_string_list(file.get(), "g", key.c_str(), pointers.data(), pointers.size());
  } else {
    g_key_file_set_string(file.get(), "g", key.c_str(), values.front().c_str());
  }
  gchar* data = g_key_file_to_data(file.get(), nullptr, nullptr);
  std::string text = data;
  g_free(data);
  auto start = text.find('\n') + 1;
  return text.substr(start, text.find('\n', start) - start);
}

std::string trimmed(const std::string& text) {
  auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool isGroupHeader(const std::string& line) { return trimmed(line).rfind('[', 0) == 0; }

std::string keyOf(const std::string& line) {
  auto equals = line.find('=');
  if (equals == std::string::npos || trimmed(line).rfind('#', 0) == 0) return {};
  return trimmed(line.substr(0, equals));
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Replaces the key's entries in the group by `line` (or removes them when it is empty),
// adding the entry after the group's last one, or the group at the end, when missing.
void setEntry(std::vector<std::string>& lines, const std::string& group, const std::string& key,
              const std::string& line) {
  auto header =
      std::find_if(lines.begin(), lines.end(), [&](const auto& l) { return trimmed(l) == "[" + group + "]"; });
  if (header == lines.end()) {
    if (line.empty()) return;
    if (!lines.empty() && !trimmed(lines.back()).empty()) lines.emplace_back();
    lines.push_back("[" + group + "]");
    lines.push_back(line);
    return;
  }
  size_t first = header - lines.begin() + 1;
  size_t end = first;
  while (end < lines.size() && !isGroupHeader(lines[end])) ++end;
  size_t insertAt = first;
  bool placed = line.empty();
  for (size_t at = first; at < end;) {
    if (keyOf(lines[at]).empty()) {
      ++at;
      continue;
    }
    if (keyOf(lines[at]) != key) {
      insertAt = ++at;
    } else if (!placed) {
      lines[at] = line;
      placed = true;
      insertAt = ++at;
    } else {
      lines.erase(lines.begin() + static_cast<long>(at));
      --end;
    }
  }
  if (!placed) lines.insert(lines.begin() + static_cast<long>(insertAt), line);
}

std::optional<std::string> contentOf(const fs::path& path) {
  gchar* data = nullptr;
  gsize size = 0;
  if (!g_file_get_contents(path.c_str(), &data, &size, nullptr)) return std::nullopt;
  std::string text(data, size);
  g_free(data);
  return text;
}

// GIO watches the folder of the user's list, not the one a link leads to: touching the
// link tells it (and any other program watching) that the list changed.
void touch(const fs::path& path, const fs::path& target) {
  if (target != path) ::utimensat(AT_FDCWD, path.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
}

bool replace(const fs::path& path, const fs::path& target, const std::string& text, int mode) {
  if (!g_file_set_contents_full(target.c_str(), text.data(), static_cast<gssize>(text.size()),
                                G_FILE_SET_CONTENTS_CONSISTENT, mode, nullptr)) {
    return false;
  }
  touch(path, target);
  return true;
}

}  // namespace

std::optional<std::string> withDefault(const std::string& text, const std::string& contentType,
                                       const std::string& desktopId) {
  auto file = parse(text);
  if (!file) return std::nullopt;
  auto added = listOf(file.get(), addedGroup, contentType);
  added.erase(std::remove(added.begin(), added.end(), desktopId), added.end());
  added.insert(added.begin(), desktopId);
  auto removed = listOf(file.get(), removedGroup, contentType);
  bool wasRemoved = std::find(removed.begin(), removed.end(), desktopId) != removed.end();
  removed.erase(std::remove(removed.begin(), removed.end(), desktopId), removed.end());

  auto lines = linesOf(text);
  setEntry(lines, defaultsGroup, contentType, entryLine(contentType, {desktopId}, false));
  setEntry(lines, addedGroup, contentType, entryLine(contentType, added, true));
  if (wasRemoved) {
    setEntry(lines, removedGroup, contentType, removed.empty() ? "" : entryLine(contentType, removed, true));
  }
  std::string result;
  for (const auto& line : lines) result += line + "\n";
  // What we wrote must read back as what we meant, or the user's file is not touched.
  auto check = parse(result);
  gchar* written = check ? g_key_file_get_string(check.get(), defaultsGroup, contentType.c_str(), nullptr) : nullptr;
  bool readsBack = written && desktopId == written;
  g_free(written);
  if (!readsBack) return std::nullopt;
  return result;
}

bool setDefault(const std::string& path, const std::string& contentType, const std::string& desktopId,
                const std::function<bool()>& holds) {
  std::error_code error;
  fs::path target = path;
  if (fs::is_symlink(target, error)) {
    target = fs::canonical(target, error);
    if (error) return false;  // a link to nothing: where the user keeps the file is unknown
  }
  bool exists = fs::exists(target, error);
  auto current = exists ? contentOf(target) : std::string();
  if (!current) return false;
  auto changed = withDefault(*current, contentType, desktopId);
  if (!changed) return false;
  struct stat status {};
  int mode = exists && ::stat(target.c_str(), &status) == 0 ? static_cast<int>(status.st_mode & 07777) : 0600;
  fs::create_directories(target.parent_path(), error);
  if (!replace(path, target, *changed, mode)) return false;
  if (holds()) return true;
  // A change the desktop does not follow is no change: the user's file goes back as it was.
  if (exists) {
    replace(path, target, *current, mode);
  } else {
    fs::remove(target, error);
  }
  return false;
}

}  // namespace MimeappsList
