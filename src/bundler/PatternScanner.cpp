#include "PatternScanner.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr size_t maxRun = 240;        // repetition limit before the dot
constexpr size_t longestExtension = 4;
constexpr size_t lookahead = maxRun + longestExtension + 6;

bool isSeparator(char c) {
  return c == '\n' || c == '"' || c == '<' || c == '>' || c == '|' || c == '*' || c == '?';
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

char printableOrLineFeed(unsigned value) {
  return value >= 0x20 && value <= 0x7E ? static_cast<char>(value) : '\n';
}

}  // namespace

void PatternScanner::appendAsciiRuns(std::string_view bytes, std::string& text) {
  size_t start = text.size();
  text.resize(start + bytes.size());
  char* out = text.data() + start;
  for (size_t i = 0; i < bytes.size(); ++i) {
    out[i] = printableOrLineFeed(static_cast<unsigned char>(bytes[i]));
  }
}

void PatternScanner::appendUtf16Runs(std::string_view bytes, std::string& text) {
  size_t start = text.size();
  size_t units = bytes.size() / 2;
  text.resize(start + units);
  char* out = text.data() + start;
  for (size_t i = 0; i < units; ++i) {
    unsigned value = static_cast<unsigned char>(bytes[2 * i]) |
                     static_cast<unsigned>(static_cast<unsigned char>(bytes[2 * i + 1])) << 8;
    out[i] = printableOrLineFeed(value);
  }
}

char PatternScanner::at(size_t position) const {
  return position < end_ ? text_[position - base_] : '\n';
}

// The length of the extension alternative that matches at `position`, tried in the
// pattern's order ("jpeg" before "jpg", since the "e" is optional and greedy), or 0.
size_t PatternScanner::extensionLength(size_t position) const {
  static constexpr std::array<std::string_view, 9> extensions{
      "png", "jpeg", "jpg", "bmp", "gif", "webp", "tga", "dds", "tif"};
  char first = lower(at(position));
  for (auto extension : extensions) {
    if (extension[0] != first) continue;
    size_t i = 1;
    while (i < extension.size() && lower(at(position + i)) == extension[i]) ++i;
    if (i == extension.size()) return i;
  }
  return 0;
}

bool PatternScanner::scan(size_t limit, const OnMatch& onMatch) {
  while (searchFrom_ < limit) {
    const char* from = text_.data() + (searchFrom_ - base_);
    auto* dot = static_cast<const char*>(std::memchr(from, '.', limit - searchFrom_));
    if (!dot) {
      searchFrom_ = limit;
      break;
    }
    size_t firstDot = base_ + static_cast<size_t>(dot - text_.data());
    searchFrom_ = firstDot + 1;
    if (firstDot <= matchFrom_ || extensionLength(firstDot + 1) == 0) continue;

    // The leftmost start: just after the last separator before the dot, but no earlier
    // than where matching may resume, nor more than 240 characters before the dot.
    size_t lowest = std::max(matchFrom_, firstDot > maxRun ? firstDot - maxRun : 0);
    size_t start = lowest;
    for (size_t i = firstDot; i > lowest; --i) {
      if (isSeparator(at(i - 1))) {
        start = i;
        break;
      }
    }
    if (start == firstDot) {
      matchFrom_ = firstDot;
      continue;
    }
    // Greedy: the last usable dot within 240 characters of the start, before the run ends.
    size_t lastDot = firstDot;
    for (size_t i = firstDot + 1; i <= start + maxRun && !isSeparator(at(i)); ++i) {
      if (at(i) == '.' && extensionLength(i + 1) > 0) lastDot = i;
    }
    size_t matchEnd = lastDot + 1 + extensionLength(lastDot + 1);
    if (!onMatch(std::string_view(text_).substr(start - base_, matchEnd - start))) return false;
    matchFrom_ = matchEnd;
    searchFrom_ = matchEnd + 1;
  }
  return true;
}

bool PatternScanner::feed(std::string_view text, bool last, const OnMatch& onMatch) {
  text_.append(text);
  end_ += text.size();
  size_t limit = last ? end_ : (end_ > lookahead ? end_ - lookahead : 0);
  limit = std::max(limit, searchFrom_);
  if (!scan(limit, onMatch)) return false;
  // Keep only what a later match may still look back on.
  size_t keepFrom = std::max(matchFrom_, searchFrom_ > maxRun ? searchFrom_ - maxRun : 0);
  keepFrom = std::clamp(keepFrom, base_, end_);
  text_.erase(0, keepFrom - base_);
  base_ = keepFrom;
  return true;
}
