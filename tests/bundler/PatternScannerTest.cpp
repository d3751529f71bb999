#include "PatternScanner.h"

#include <gtest/gtest.h>
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <random>

namespace {

const char* const referencePattern =
    "[^\\x00-\\x1f\"<>|*?\\n]{1,240}\\.(png|jpe?g|bmp|gif|webp|tga|dds|tif)";

// Every non-overlapping match of the pattern itself, as PCRE2 finds them.
std::vector<std::string> pcre2Matches(const std::string& text) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(referencePattern),
                                   PCRE2_ZERO_TERMINATED, PCRE2_CASELESS, &error, &offset, nullptr);
  pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
  std::vector<std::string> matches;
  PCRE2_SIZE start = 0;
  while (start <= text.size() &&
         pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), start, 0, data,
                     nullptr) >= 0) {
    PCRE2_SIZE* range = pcre2_get_ovector_pointer(data);
    matches.push_back(text.substr(range[0], range[1] - range[0]));
    start = range[1];
  }
  pcre2_match_data_free(data);
  pcre2_code_free(code);
  return matches;
}

// Our scanner over the file's bytes, given in pieces of the sizes `random` picks.
template <size_t UnitBytes>
std::vector<std::string> scannerMatches(const std::string& text, std::mt19937& random) {
  PatternScanner<UnitBytes> scanner;
  std::vector<std::string> matches;
  auto collect = [&](std::string_view match) {
    matches.emplace_back(match);
    return true;
  };
  size_t offset = 0;
  while (offset < text.size()) {
    size_t piece = std::min<size_t>(text.size() - offset, 1 + random() % 700);
    scanner.feed(std::string_view(text).substr(offset, piece), false, collect);
    offset += piece;
  }
  scanner.feed({}, true, collect);
  return matches;
}

// Pieces of 8-bit text, of UTF-16 text at either parity, and raw bytes.
std::string randomBytes(std::mt19937& random) {
  static const std::vector<std::string> pieces{
      ".", ".", "png", "PNG", "jpg", "jpeg", "JPe", "bmp", "gif", "webp", "tga", "dds", "tif",
      "tiff", "pn", "jp", "a", "x", " ", "   ", "/", "\\", "\"", "<", ">", "|", "*", "?",
      "\n", "C:", ".bak", "wood", "Leaf"};
  std::string text;
  size_t count = random() % 60;
  for (size_t i = 0; i < count; ++i) {
    if (random() % 25 == 0) {
      // Runs right at the repetition limit, with or without a dot inside.
      size_t run = 236 + random() % 8;
      std::string filler(run, random() % 2 ? 'q' : ' ');
      if (random() % 3 == 0) filler[random() % run] = '.';
      text += filler;
    } else if (random() % 4 == 0) {
      for (char c : pieces[random() % pieces.size()]) text += {c, random() % 8 ? '\0' : '\x01'};
    } else if (random() % 6 == 0) {
      text += static_cast<char>(random());
    } else {
      text += pieces[random() % pieces.size()];
    }
  }
  return text;
}

std::string asciiRuns(const std::string& bytes) {
  std::string text;
  appendAsciiRuns(bytes, text);
  return text;
}

std::string utf16Runs(const std::string& bytes) {
  std::string text;
  appendUtf16Runs(bytes, text);
  return text;
}

}  // namespace

TEST(PatternScanner, AgreesWithTheRegularExpressionOnTheExamples) {
  std::mt19937 random(1);
  const std::vector<std::string> examples{
      "textures/Wood.PNG", "map_Kd wood.png", "   wood.png", "C:\\maps\\wood.png",
      "C:/maps/wood.png",  "wood.pngx",       "bark.tiff",   "a.png.bak",
      "Leaf.JPEG",         "\"q.jpg",         "<a.gif>b.bmp", "x.jpg.png|y.webp",
      ".png",              "\n.png.png",      "a.pnga.png",  std::string(300, 'a') + ".png",
      std::string(240, 'b') + ".dds", std::string(241, 'c') + ".TGA x.gif"};
  for (const auto& text : examples) {
    EXPECT_EQ(scannerMatches<1>(text, random), pcre2Matches(text)) << text;
  }
}

TEST(PatternScanner, AgreesWithTheRegularExpressionOnGeneratedFilesInBothViews) {
  std::mt19937 random(20261206);
  for (int round = 0; round < 6000; ++round) {
    std::string bytes = randomBytes(random);
    ASSERT_EQ(scannerMatches<1>(bytes, random), pcre2Matches(asciiRuns(bytes))) << "bytes: " << bytes;
    ASSERT_EQ(scannerMatches<2>(bytes, random), pcre2Matches(utf16Runs(bytes))) << "bytes: " << bytes;
  }
}

TEST(PatternScanner, MapsBytesAndUnitsToPrintableTextOrLineFeeds) {
  EXPECT_EQ(asciiRuns(std::string("a\tb\x7f\x80~ ", 7)), "a\nb\n\n~ ");
  EXPECT_EQ(utf16Runs(std::string("a\0b\x01~\0z", 7)), "a\n~");
}
