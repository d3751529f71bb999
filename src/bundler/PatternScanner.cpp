#include "PatternScanner.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace {

constexpr size_t maxRun = 240;  // repetition limit before the dot
constexpr size_t lookahead = maxRun + 10;
constexpr unsigned lineFeed = '\n';

bool isPrintable(unsigned value) { return value >= 0x20 && value <= 0x7E; }

bool isExcluded(unsigned value) {
  return value == '"' || value == '<' || value == '>' || value == '|' || value == '*' || value == '?';
}

// A quick test on the three bytes after a dot that rules out most dots that no extension
// follows; true when unsure.
bool mayStartExtension(const char* at, const char* end) {
  if (end - at < 4) return true;
  std::uint32_t word;
  std::memcpy(&word, at, 4);
  std::uint32_t three = (word | 0x202020u) & 0xFFFFFFu;  // letters lower-cased
  auto key = [](const char(&text)[4]) {
    return static_cast<std::uint32_t>(text[0]) | static_cast<std::uint32_t>(text[1]) << 8 |
           static_cast<std::uint32_t>(text[2]) << 16;
  };
  return three == key("png") || three == key("jpg") || three == key("jpe") || three == key("bmp") ||
         three == key("gif") || three == key("web") || three == key("tga") || three == key("dds") ||
         three == key("tif");
}

// Offset of the first 16-bit unit in `begin[0, length)` that is a dot, or `length`.
// Eight bytes are tested at a time; a lane above a true dot may be flagged falsely, so
// only the lowest flagged lane is taken.
size_t firstUtf16Dot(const char* begin, size_t length) {
  constexpr std::uint64_t lanes = 0x0001000100010001u;
  size_t offset = 0;
  for (; offset + 8 <= length; offset += 8) {
    std::uint64_t word;
    std::memcpy(&word, begin + offset, 8);
    std::uint64_t difference = word ^ (lanes * '.');
    std::uint64_t found = (difference - lanes) & ~difference & (lanes << 15);
    if (found) return offset + static_cast<size_t>(__builtin_ctzll(found)) / 16 * 2;
  }
  for (; offset + 1 < length; offset += 2) {
    if (begin[offset] == '.' && begin[offset + 1] == 0) return offset;
  }
  return length;
}

#if defined(__SSE2__)
// Offset of the first byte in `begin[0, length)` that is a dot an extension may follow, or
// `length`. Dots can be as dense as every few characters, so sixteen bytes are tested at
// once, together with the third letter after them.
size_t firstAsciiCandidate(const char* begin, size_t length) {
  size_t offset = 0;
  for (; offset + 16 + 3 <= length; offset += 16) {
    auto bytesAt = [&](size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin + at)); };
    __m128i dots = _mm_cmpeq_epi8(bytesAt(offset), _mm_set1_epi8('.'));
    __m128i third = _mm_or_si128(bytesAt(offset + 3), _mm_set1_epi8(0x20));
    __m128i thirdLetter = _mm_setzero_si128();
    for (char letter : {'g', 'e', 'p', 'f', 'b', 'a', 's'}) {
      thirdLetter = _mm_or_si128(thirdLetter, _mm_cmpeq_epi8(third, _mm_set1_epi8(letter)));
    }
    auto found = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(dots, thirdLetter)));
    for (; found; found &= found - 1) {
      size_t at = offset + static_cast<size_t>(__builtin_ctz(found));
      if (mayStartExtension(begin + at + 1, begin + length)) return at;
    }
  }
  for (; offset < length; ++offset) {
    if (begin[offset] == '.' && mayStartExtension(begin + offset + 1, begin + length)) return offset;
  }
  return length;
}
#else
size_t firstAsciiCandidate(const char* begin, size_t length) {
  for (size_t offset = 0; offset < length; ++offset) {
    if (begin[offset] == '.' && mayStartExtension(begin + offset + 1, begin + length)) return offset;
  }
  return length;
}
#endif

#if defined(__x86_64__)
// The same two searches 64 bytes at a time, where the processor has AVX2. Most blocks hold
// no dot at all and cost a compare each; only blocks with dots are looked at further.
#define VEXMOOR_AVX2 __attribute__((target("avx2"), always_inline)) inline

VEXMOOR_AVX2 __m256i load32(const char* at) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)); }

// Of the dots at `at`, those whose third letter after them is one an extension has there
// (a-g, p or s).
VEXMOOR_AVX2 std::uint32_t asciiCandidates(__m256i dots, const char* at) {
  __m256i third = _mm256_or_si256(load32(at + 3), _mm256_set1_epi8(0x20));
  __m256i fromA = _mm256_sub_epi8(third, _mm256_set1_epi8('a'));
  __m256i letter = _mm256_cmpeq_epi8(_mm256_min_epu8(fromA, _mm256_set1_epi8('g' - 'a')), fromA);
  letter = _mm256_or_si256(letter, _mm256_cmpeq_epi8(third, _mm256_set1_epi8('p')));
  letter = _mm256_or_si256(letter, _mm256_cmpeq_epi8(third, _mm256_set1_epi8('s')));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(dots, letter)));
}

// Which of the 32 bytes at `at` are letters, either case.
VEXMOOR_AVX2 __m256i letters(const char* at) {
  __m256i fromA = _mm256_sub_epi8(_mm256_or_si256(load32(at), _mm256_set1_epi8(0x20)), _mm256_set1_epi8('a'));
  return _mm256_cmpeq_epi8(_mm256_min_epu8(fromA, _mm256_set1_epi8('z' - 'a')), fromA);
}

__attribute__((target("avx2"))) size_t firstAsciiCandidateAvx2(const char* begin, size_t length) {
  const __m256i dot = _mm256_set1_epi8('.');
  size_t offset = 0;
  for (; offset + 64 + 3 <= length; offset += 64) {
    const char* at = begin + offset;
    __m256i low = _mm256_cmpeq_epi8(load32(at), dot), high = _mm256_cmpeq_epi8(load32(at + 32), dot);
    __m256i any = _mm256_or_si256(low, high);
    if (_mm256_testz_si256(any, any)) continue;
    low = _mm256_and_si256(low, letters(at + 1));
    high = _mm256_and_si256(high, letters(at + 33));
    any = _mm256_or_si256(low, high);
    if (_mm256_testz_si256(any, any)) continue;
    std::uint64_t found = asciiCandidates(low, at) | std::uint64_t{asciiCandidates(high, at + 32)} << 32;
    for (; found; found &= found - 1) {
      size_t dotAt = offset + static_cast<size_t>(__builtin_ctzll(found));
      if (mayStartExtension(begin + dotAt + 1, begin + length)) return dotAt;
    }
  }
  return offset + firstAsciiCandidate(begin + offset, length - offset);
}

__attribute__((target("avx2"))) size_t firstUtf16DotAvx2(const char* begin, size_t length) {
  const __m256i dot = _mm256_set1_epi16('.');
  size_t offset = 0;
  for (; offset + 64 <= length; offset += 64) {
    __m256i low = _mm256_cmpeq_epi16(load32(begin + offset), dot);
    __m256i high = _mm256_cmpeq_epi16(load32(begin + offset + 32), dot);
    __m256i any = _mm256_or_si256(low, high);
    if (_mm256_testz_si256(any, any)) continue;
    std::uint64_t found = static_cast<std::uint32_t>(_mm256_movemask_epi8(low)) |
                          std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32;
    return offset + static_cast<size_t>(__builtin_ctzll(found));
  }
  return offset + firstUtf16Dot(begin + offset, length - offset);
}

const bool hasAvx2 = __builtin_cpu_supports("avx2");

size_t firstCandidate1(const char* begin, size_t length) {
  return hasAvx2 ? firstAsciiCandidateAvx2(begin, length) : firstAsciiCandidate(begin, length);
}
size_t firstCandidate2(const char* begin, size_t length) {
  return hasAvx2 ? firstUtf16DotAvx2(begin, length) : firstUtf16Dot(begin, length);
}
#else
size_t firstCandidate1(const char* begin, size_t length) { return firstAsciiCandidate(begin, length); }
size_t firstCandidate2(const char* begin, size_t length) { return firstUtf16Dot(begin, length); }
#endif

}  // namespace

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
// In the 8-bit view, dots that no extension can follow are passed over as well.
template <size_t UnitBytes>
size_t PatternScanner<UnitBytes>::findDot(size_t from, size_t limit) const {
  const char* begin = bytes_.data() + (from - base_) * UnitBytes;
  size_t length = (limit - from) * UnitBytes;
  size_t offset = UnitBytes == 1 ? firstCandidate1(begin, length) : firstCandidate2(begin, length);
  return from + offset / UnitBytes;
}

// The length of the extension that matches at `position`, or 0. Only "jpe?g" has two
// forms, and its optional "e" is greedy, so "jpeg" is tried before "jpg".
template <size_t UnitBytes>
size_t PatternScanner<UnitBytes>::extensionLength(size_t position) const {
  char a = lowerAt(position), b = lowerAt(position + 1), c = lowerAt(position + 2);
  switch (a) {
    case 'p':
      return b == 'n' && c == 'g' ? 3 : 0;
    case 'j':
      if (b != 'p') return 0;
      if (c == 'g') return 3;
      return c == 'e' && lowerAt(position + 3) == 'g' ? 4 : 0;
    case 'b':
      return b == 'm' && c == 'p' ? 3 : 0;
    case 'g':
      return b == 'i' && c == 'f' ? 3 : 0;
    case 'w':
      return b == 'e' && c == 'b' && lowerAt(position + 3) == 'p' ? 4 : 0;
    case 't':
      return (b == 'g' && c == 'a') || (b == 'i' && c == 'f') ? 3 : 0;
    case 'd':
      return b == 'd' && c == 's' ? 3 : 0;
    default:
      return 0;
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
bool PatternScanner<UnitBytes>::scanUpTo(size_t limit, const OnMatch& onMatch) {
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
bool PatternScanner<UnitBytes>::scan(std::string_view window, size_t windowStart, bool last, const OnMatch& onMatch) {
  base_ = windowStart / UnitBytes;
  bytes_ = window;
  end_ = base_ + window.size() / UnitBytes;
  size_t limit = last ? end_ : (end_ > lookahead ? end_ - lookahead : 0);
  return scanUpTo(std::max(limit, searchFrom_), onMatch);
}

// Only what a later match may still look back on.
template <size_t UnitBytes>
size_t PatternScanner<UnitBytes>::keepFrom() const {
  size_t unit = std::max(matchFrom_, searchFrom_ > maxRun ? searchFrom_ - maxRun : 0);
  return std::min(unit, end_) * UnitBytes;
}

template class PatternScanner<1>;
template class PatternScanner<2>;
