#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// Finds, in one left-to-right pass, exactly the matches that the texture reference pattern
//   [^\x00-\x1f"<>|*?\n]{1,240}\.(png|jpe?g|bmp|gif|webp|tga|dds|tif)
// gives under Perl semantics (case-insensitive, leftmost start, greedy repetition, no
// overlap), without backtracking. The text arrives in pieces, so it never has to be held
// whole; only a few hundred characters are kept between pieces.
class PatternScanner {
 public:
  using OnMatch = std::function<bool(std::string_view match)>;  // false: stop scanning

  // Appends text (printable ASCII or line feeds). `last` says no more text follows.
  // Returns false once `onMatch` asked to stop.
  bool feed(std::string_view text, bool last, const OnMatch& onMatch);

  // The text of the view that maps each byte, or each little-endian 16-bit unit, to itself
  // when printable and to a line feed otherwise.
  static void appendAsciiRuns(std::string_view bytes, std::string& text);
  static void appendUtf16Runs(std::string_view bytes, std::string& text);

 private:
  char at(size_t position) const;
  size_t extensionLength(size_t position) const;
  bool scan(size_t limit, const OnMatch& onMatch);

  std::string text_;        // characters from absolute position base_ on
  size_t base_ = 0;
  size_t end_ = 0;          // absolute end of the text received so far
  size_t matchFrom_ = 0;    // a match may start here or later
  size_t searchFrom_ = 0;   // next position to look for a dot
};
