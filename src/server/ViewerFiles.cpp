#include "ViewerFiles.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr size_t maxFiles = 10000;
constexpr int maxDepth = 8;

bool isPlainName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                 c == '-' || c == '/';
    if (!plain) return false;
  }
  return name.front() != '/' && name.find("//") == std::string::npos && name.find("..") == std::string::npos;
}

}  // namespace

ViewerFiles ViewerFiles::list(const std::string& folder) {
  ViewerFiles result;
  std::error_code error;
  const fs::path root(folder);
  // The folder may be reached through a link (as it was found); files inside it may not.
  if (folder.empty() || !fs::is_directory(root, error)) return result;
  fs::recursive_directory_iterator entry(root, fs::directory_options::none, error), end;
  for (; !error && entry != end && result.files_.size() < maxFiles; entry.increment(error)) {
    if (entry.depth() > maxDepth) {
      entry.disable_recursion_pending();
      continue;
    }
    if (!entry->is_regular_file(error) || entry->is_symlink(error)) continue;
    std::string name = entry->path().lexically_relative(root).generic_string();
    if (isPlainName(name)) result.files_.emplace(name, entry->path().string());
  }
  return result;
}

const std::string* ViewerFiles::find(std::string_view name) const {
  auto found = files_.find(name);
  return found == files_.end() ? nullptr : &found->second;
}

std::string_view ViewerFiles::contentType(std::string_view name) {
  auto dot = name.rfind('.');
  std::string_view extension = dot == std::string_view::npos ? std::string_view() : name.substr(dot);
  if (extension == ".wasm") return "application/wasm";
  if (extension == ".js" || extension == ".mjs") return "text/javascript";
  if (extension == ".html") return "text/html; charset=utf-8";
  if (extension == ".json") return "application/json";
  if (extension == ".css") return "text/css";
  return "application/octet-stream";
}
