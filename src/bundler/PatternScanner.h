#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// The file is seen as text: each byte (UnitBytes 1), or each little-endian 16-bit unit at
// an even offset (UnitBytes 2), stands for itself when printable ASCII and for a line feed
// otherwise. Finds, in one left-to-right pass, exactly the matches that the pattern
//   [^\x00-\x1f"<>|*?\n]{1,240}\.(png|jpe?g|bmp|gif|webp|tga|dds|tif)
// gives under Perl semantics (case-insensitive, leftmost start, greedy repetition, no
// overlap) over that text, without backtracking and without building the text: it works on
// the file's bytes as they arrive, keeping only a few hundred of them between pieces.
template <size_t UnitBytes>
class PatternScanner {
 public:
  using OnMatch = std::function<bool(std::string_view match)>;  // false: stop scanning

  // Scans the file's bytes in `window`, which starts at byte `windowStart` of the file,
  // at or before keepFrom(), and ends where the file has been read to. `last`: the file
  // ends there. False once `onMatch` asked to stop.
  bool scan(std::string_view window, size_t windowStart, bool last, const OnMatch& onMatch);
  // The first byte of the file that a later scan may still look at.
  size_t keepFrom() const;

 private:
  unsigned unitAt(size_t position) const;
  char lowerAt(size_t position) const;
  bool isSeparatorAt(size_t position) const;
  size_t findDot(size_t from, size_t limit) const;
  size_t extensionLength(size_t position) const;
  std::string_view textOf(size_t start, size_t end);
  bool scanUpTo(size_t limit, const OnMatch& onMatch);

  std::string_view bytes_;  // the file's bytes from unit base_ on
  std::string matchText_;   // a 16-bit match as text
  size_t base_ = 0;
  size_t end_ = 0;         // units received so far
  size_t matchFrom_ = 0;   // a match may start here or later
  size_t searchFrom_ = 0;  // next unit to look for a dot
};

extern template class PatternScanner<1>;
extern template class PatternScanner<2>;
