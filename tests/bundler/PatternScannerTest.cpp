#include <gtest/gtest.h>

#include <random>

#include "PatternScanner.h"
#include "ScannerReference.h"

namespace {

using ScannerReference::pcre2Matches;
using ScannerReference::textView;

// Our scanner over the file's bytes as they arrive in pieces of the sizes `random` picks,
// keeping only what it asks to keep. Memory past the file's end holds what a reused buffer
// may: a name cut off by the end ("wood.pn") must not be completed from it.
template <size_t UnitBytes>
std::vector<std::string> scannerMatches(const std::string& file, std::mt19937& random) {
  const std::string buffer = file + "gg";
  const std::string_view bytes(buffer.data(), file.size());
  PatternScanner<UnitBytes> scanner;
  std::vector<std::string> matches;
  auto collect = [&](std::string_view match) {
    matches.emplace_back(match);
    return true;
  };
  size_t windowStart = 0, end = 0;
  do {
    end += std::min<size_t>(bytes.size() - end, 1 + random() % 700);
    auto window = bytes.substr(windowStart, end - windowStart);
    scanner.scan(window, windowStart, end == bytes.size(), collect);
    windowStart = std::max(windowStart, scanner.keepFrom());
  } while (end < bytes.size());
  return matches;
}

// Pieces of 8-bit text, of UTF-16 text at either parity, and raw bytes.
std::string randomBytes(std::mt19937& random) {
  static const std::vector<std::string> pieces{".",    ".",   "png", "PNG",  "jpg",  "jpeg", "JPe", "bmp", "gif",
                                               "webp", "tga", "dds", "tif",  "tiff", "pn",   "jp",  "a",   "x",
                                               " ",    "   ", "/",   "\\",   "\"",   "<",    ">",   "|",   "*",
                                               "?",    "\n",  "C:",  ".bak", "wood", "Leaf"};
  std::string text;
  for (size_t count = random() % 60; count > 0; --count) {
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

}  // namespace

TEST(PatternScanner, AgreesWithTheRegularExpressionOnExamplesAndGeneratedFiles) {
  std::mt19937 random(20261206);
  const std::vector<std::string> examples{"textures/Wood.PNG",
                                          "map_Kd wood.png",
                                          "   wood.png",
                                          "C:\\maps\\wood.png",
                                          "C:/maps/wood.png",
                                          "wood.pngx",
                                          "wood.pn",
                                          "bark.tiff",
                                          "a.png.bak",
                                          "Leaf.JPEG",
                                          "\"q.jpg",
                                          "<a.gif>b.bmp",
                                          "x.jpg.png|y.webp",
                                          ".png",
                                          "\n.png.png",
                                          "a.pnga.png",
                                          std::string(300, 'a') + ".png",
                                          std::string(240, 'b') + ".dds",
                                          std::string(241, 'c') + ".TGA x.gif",
                                          std::string("a\tb\x7f\x80~.png", 10)};
  for (const auto& text : examples) {
    EXPECT_EQ(scannerMatches<1>(text, random), pcre2Matches(textView<1>(text))) << text;
  }
  for (int round = 0; round < 6000; ++round) {
    std::string bytes = randomBytes(random);
    ASSERT_EQ(scannerMatches<1>(bytes, random), pcre2Matches(textView<1>(bytes))) << bytes;
    ASSERT_EQ(scannerMatches<2>(bytes, random), pcre2Matches(textView<2>(bytes))) << bytes;
  }
}
