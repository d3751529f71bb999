#include "PatternScanner.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t maxRun = 240;  // repetition limit before the dot
constexpr size_t lookahead = maxRun + 10;
constexpr unsigned lineFeed = '\n';

bool isPrintable(unsigned value) { return value >= 0x20 && value <= 0x7E; }

bool isExcluded(unsigned value) {
  return value == '"' || value == '<' || value == '>' || value == '|' || value == '*' ||
         value == '?';
}

template <size_t UnitBytes>
void appendRuns(std::string_view bytes, std::string& text) {
  size_t units = bytes.size() / UnitBytes;
  size_t start = text.size();
  text.resize(start + units);
  for (size_t i = 0; i < units; ++i) {
    unsigned value = static_cast<unsigned char>(bytes[i * UnitBytes]);
    if constexpr (UnitBytes == 2) value |= static_cast<unsigned char>(bytes[2 * i + 1]) << 8;
    text[start + i] = isPrintable(value) ? static_cast<char>(value) : '\n';
  }
}

}  // namespace

void appendAsciiRuns(std::string_view bytes, std::string& text) { appendRuns<1>(bytes, text); }
void appendUtf16Runs(std::string_view bytes, std::string& text) { appendRuns<2>(bytes, text); }

template <size_t UnitBytes>
unsigned PatternScanner<UnitBytes>::unitAt(size_t position) const {
  if (position >= end_) return lineFeed;
  size_t offset = (position - base_) * UnitBytes;
  unsigned value = static_cast<unsigned char>(bytes_[offset]);
  if constexpr (UnitBytes == 2) value |= static_cast<unsigned char>(bytes_[offset + 1]) << 8;
  return value;
}

template <size_t UnitBytes>
char PatternScanner<UnitBytes>::lowerAt(size_t position) const {
  unsigned value = unitAt(position);
  if (value >= 'A' && value <= 'Z') value += 32;
  return isPrintable(value) ? static_cast<char>(value) : '\n';
}

template <size_t UnitBytes>
bool PatternScanner<UnitBytes>::isSeparatorAt(size_t position) const {
  unsigned value = unitAt(position);
  return !isPrintable(value) || isExcluded(value);
}

// The first unit at or after `from`, before `limit`, that is a dot; `limit` when none is.
template <size_t UnitBytes>
size_t PatternScanner<UnitBytes>::findDot(size_t from, size_t limit) const {
  const char* begin = bytes_.data();
  const char* at = begin + (from - base_) * UnitBytes;
  const char* end = begin + (limit - base_) * UnitBytes;
  while (at < end) {
    at = static_cast<const char*>(std::memchr(at, '.', static_cast<size_t>(end - at)));
    if (!at) return limit;
    size_t offset = static_cast<size_t>(at - begin);
    if (UnitBytes == 1 || (offset % 2 == 0 && at[1] == 0)) return base_ + offset / UnitBytes;
    ++at;
  }
  return limit;
}

// The length of the extension that matches at `position`, or 0. Only "jpe?g" has two
// forms, and its optional "e" is greedy, so "jpeg" is tried before "jpg".
template <size_t UnitBytes>
size_t PatternScanner<UnitBytes>::extensionLength(size_t position) const {
  char a = lowerAt(position), b = lowerAt(position + 1), c = lowerAt(position + 2);
  switch (a) {
    case 'p': return b == 'n' && c == 'g' ? 3 : 0;
    case 'j':
      if (b != 'p') return 0;
      if (c == 'g') return 3;
      return c == 'e' && lowerAt(position + 3) == 'g' ? 4 : 0;
    case 'b': return b == 'm' && c == 'p' ? 3 : 0;
    case 'g': return b == 'i' && c == 'f' ? 3 : 0;
    case 'w': return b == 'e' && c == 'b' && lowerAt(position + 3) == 'p' ? 4 : 0;
    case 't': return (b == 'g' && c == 'a') || (b == 'i' && c == 'f') ? 3 : 0;
    case 'd': return b == 'd' && c == 's' ? 3 : 0;
    default: return 0;
  }
}

template <size_t UnitBytes>
std::string_view PatternScanner<UnitBytes>::textOf(size_t start, size_t end) {
  if constexpr (UnitBytes == 1) {
    return std::string_view(bytes_).substr(start - base_, end - start);
  }
  matchText_.clear();
  for (size_t i = start; i < end; ++i) matchText_ += static_cast<char>(unitAt(i));
  return matchText_;
}

template <size_t UnitBytes>
bool PatternScanner<UnitBytes>::scan(size_t limit, const OnMatch& onMatch) {
  while (searchFrom_ < limit) {
    size_t firstDot = findDot(searchFrom_, limit);
    if (firstDot == limit) {
      searchFrom_ = limit;
      break;
    }
    searchFrom_ = firstDot + 1;
    if (firstDot <= matchFrom_ || extensionLength(firstDot + 1) == 0) continue;

    // The leftmost start: just after the last separator before the dot, but no earlier
    // than where matching may resume, nor more than 240 characters before the dot.
    size_t lowest = std::max(matchFrom_, firstDot > maxRun ? firstDot - maxRun : 0);
    size_t start = lowest;
    for (size_t i = firstDot; i > lowest; --i) {
      if (isSeparatorAt(i - 1)) {
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
    for (size_t i = firstDot + 1; i <= start + maxRun && !isSeparatorAt(i); ++i) {
      if (unitAt(i) == '.' && extensionLength(i + 1) > 0) lastDot = i;
    }
    size_t matchEnd = lastDot + 1 + extensionLength(lastDot + 1);
    if (!onMatch(textOf(start, matchEnd))) return false;
    matchFrom_ = matchEnd;
    searchFrom_ = matchEnd + 1;
  }
  return true;
}

template <size_t UnitBytes>
bool PatternScanner<UnitBytes>::feed(std::string_view bytes, bool last, const OnMatch& onMatch) {
  bytes_.append(bytes);
  end_ = base_ + bytes_.size() / UnitBytes;
  size_t limit = last ? end_ : (end_ > lookahead ? end_ - lookahead : 0);
  if (!scan(std::max(limit, searchFrom_), onMatch)) return false;
  // Keep only what a later match may still look back on.
  size_t keepFrom = std::max(matchFrom_, searchFrom_ > maxRun ? searchFrom_ - maxRun : 0);
  keepFrom = std::clamp(keepFrom, base_, end_);
  bytes_.erase(0, (keepFrom - base_) * UnitBytes);
  base_ = keepFrom;
  return true;
}

template class PatternScanner<1>;
template class PatternScanner<2>;
