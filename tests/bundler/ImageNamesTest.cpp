#include <gtest/gtest.h>

#include "BundlerTestSupport.h"
#include "CompanionBundler.h"

using namespace BundlerTests;
using CompanionBundler::referencedImageNames;
using Names = std::vector<std::string>;

namespace {

Names namesIn(const std::string& bytes) {
  auto path = std::filesystem::temp_directory_path() / "scan.max";
  writeText(path, bytes);
  return referencedImageNames(path);
}

std::string name(size_t length) { return std::string(length - 4, 'n') + ".png"; }

}  // namespace

TEST(ImageNames, ReadsEightBitTextFirstThenUtf16AtEvenOffsets) {
  EXPECT_EQ(namesIn(utf16("later.png") + "\x01"
                                         "first.jpg"),
            (Names{"first.jpg", "later.png"}));
  // A 16-bit name whose dot falls just past the first read is found whole in the second.
  std::string across = std::string(100, 'a') + ".png";
  EXPECT_EQ(namesIn(std::string((1u << 20) - 700, '\0') + utf16(across)), (Names{across}));
  EXPECT_EQ(namesIn("\x01" + utf16("odd.png")), (Names{}));
  EXPECT_EQ(namesIn(utf16("Same.png") + "\x01"
                                        "same.PNG"),
            (Names{"same.PNG"}));
}

TEST(ImageNames, KeepsWithinItsLimits) {
  EXPECT_EQ(namesIn(name(160) + "\n" + name(161) + "\nshort.png"), (Names{name(160), "short.png"}));
  std::string many;
  for (int i = 0; i < 300; ++i) many += "t" + std::to_string(i) + ".png\n";
  auto names = namesIn(many);
  ASSERT_EQ(names.size(), 192u);
  EXPECT_EQ(names.front(), "t0.png");
  EXPECT_EQ(names.back(), "t191.png");
}

TEST(ImageNames, ScansOnlyTheFirst64MiBOfAReadableFile) {
  EXPECT_EQ(namesIn(""), (Names{}));
  EXPECT_EQ(referencedImageNames("/nonexistent/model.max"), (Names{}));
  std::string large(70'000'000, '\0');
  large.replace(67'108'864 + 100, 8, "late.png");
  large.replace(67'108'864 - 4, 8, "edge.png");
  EXPECT_EQ(namesIn(large), (Names{}));
  large.replace(67'108'864 - 20, 6, "ok.png");
  EXPECT_EQ(namesIn(large), (Names{"ok.png"}));
}
