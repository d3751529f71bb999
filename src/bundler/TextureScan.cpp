#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "CompanionBundler.h"
#include "PatternScanner.h"
#include "Text.h"

namespace CompanionBundler {

namespace {

constexpr size_t maxScannedBytes = 64u << 20;
constexpr size_t readChunk = 1u << 20;
constexpr size_t maxNameLength = 160;
constexpr size_t maxNames = 192;

// The name a match stands for: trimmed, its last path component, if short enough.
std::optional<std::string> nameOf(std::string_view match) {
  auto first = match.find_first_not_of(" \t");
  if (first == std::string_view::npos) return std::nullopt;
  match = match.substr(first, match.find_last_not_of(" \t") - first + 1);
  if (auto slash = match.rfind('/'); slash != std::string_view::npos) {
    match.remove_prefix(slash + 1);
  }
  if (match.size() > maxNameLength) return std::nullopt;
  return std::string(match);
}

// Names in order of first appearance, one per lower-cased key, up to a limit.
class NameList {
 public:
  // False once the list is full.
  bool add(std::string_view match) {
    if (full()) return false;
    if (auto name = nameOf(match)) {
      if (keys_.insert(Text::asciiLowercase(*name)).second) names_.push_back(*name);
    }
    return names_.size() < maxNames;
  }
  bool full() const { return names_.size() >= maxNames; }
  const std::vector<std::string>& names() const { return names_; }

 private:
  std::set<std::string> keys_;
  std::vector<std::string> names_;
};

// Both views of the file are scanned in the buffer the file is read into, so no byte is
// copied; the 16-bit view's names are kept apart because every 8-bit name comes first.
class TwoViewScan {
 public:
  // Room for the next read of at most readChunk bytes.
  char* space() {
    if (window_.size() < filled_ + readChunk) window_.resize(filled_ + readChunk);
    return window_.data() + filled_;
  }

  // Scans `count` more bytes read into space(). False once more bytes cannot change the result.
  bool scanned(size_t count, bool last) {
    filled_ += count;
    std::string_view window(window_.data(), filled_);
    ascii_.scan(window, windowStart_, last, [this](std::string_view m) { return asciiNames_.add(m); });
    if (asciiNames_.full()) return false;
    size_t keep = ascii_.keepFrom();
    if (!utf16Names_.full()) {
      utf16_.scan(window, windowStart_, last, [this](std::string_view m) { return utf16Names_.add(m); });
      keep = std::min(keep, utf16_.keepFrom());
    }
    keep = std::max(keep & ~size_t{1}, windowStart_);  // the 16-bit view needs even offsets
    std::memmove(window_.data(), window_.data() + (keep - windowStart_), windowStart_ + filled_ - keep);
    filled_ -= keep - windowStart_;
    windowStart_ = keep;
    return true;
  }

  std::vector<std::string> result() {
    NameList merged;
    for (const auto& name : asciiNames_.names()) merged.add(name);
    for (const auto& name : utf16Names_.names()) {
      if (!merged.add(name)) break;
    }
    return merged.names();
  }

 private:
  std::vector<char> window_;
  size_t windowStart_ = 0;  // file offset of window_[0]
  size_t filled_ = 0;
  PatternScanner<1> ascii_;
  PatternScanner<2> utf16_;
  NameList asciiNames_, utf16Names_;
};

}  // namespace

std::vector<std::string> referencedImageNames(const std::string& path) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!file.valid()) return {};
  struct stat info {};
  TwoViewScan scan;
  size_t total = 0;
  bool failed = ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode);
  bool open = true;
  while (!failed && open && total < maxScannedBytes) {
    ssize_t n = ::read(file.get(), scan.space(), std::min(readChunk, maxScannedBytes - total));
    if (n < 0) failed = true;
    if (n <= 0) break;
    total += static_cast<size_t>(n);
    open = scan.scanned(static_cast<size_t>(n), false);
  }
  if (failed || total == 0) return {};
  if (open) scan.scanned(0, true);
  return scan.result();
}

}  // namespace CompanionBundler
