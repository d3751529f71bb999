#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "BundlerTestSupport.h"
#include "CompanionBundler.h"
#include "PrivateDirectory.h"
#include "RunProgram.h"

using namespace BundlerTests;
namespace fs = std::filesystem;

namespace {

// The archive's entries as Python's zipfile reads them: "name method size" per line,
// after checking every CRC.
std::string zipfileListing(const std::string& archive) {
  const char* script =
      "import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "assert z.testzip() is None\n"
      "for i in z.infolist(): print(i.filename, i.compress_type, i.file_size)\n";
  auto result = TestSupport::runProgram({"/usr/bin/python3", "-c", script, archive}, {});
  return result.exitStatus == 0 ? result.out : "python failed: " + result.err;
}

bool unzipAccepts(const std::string& archive) {
  auto tested = TestSupport::runProgram({"/usr/bin/unzip", "-tq", archive}, {});
  auto listed = TestSupport::runProgram({"/usr/bin/zipinfo", archive}, {});
  return tested.exitStatus == 0 && listed.exitStatus == 0 &&
         listed.out.find("defN") == std::string::npos;
}

size_t bundleFolderCount() {
  auto root = CompanionBundler::bundleRoot();
  if (!root) return 0;
  return static_cast<size_t>(std::distance(fs::directory_iterator(*root), fs::directory_iterator()));
}

// Companions opened the way prepare() opens them, searched for under `root`.
std::vector<CompanionBundler::Companion> opened(const fs::path& root,
                                                const std::vector<fs::path>& paths) {
  std::vector<CompanionBundler::Companion> companions;
  for (const auto& path : paths) {
    if (auto companion = CompanionBundler::openCompanion(path, root)) {
      companions.push_back(std::move(*companion));
    }
  }
  return companions;
}

void setAge(const fs::path& path, std::chrono::hours age) {
  fs::last_write_time(path, fs::file_time_type::clock::now() - age);
}

class Bundles : public testing::Test {
 protected:
  void SetUp() override {
    if (auto root = CompanionBundler::bundleRoot()) fs::remove_all(*root);
    folder = freshFolder(testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  fs::path folder;
};

}  // namespace

TEST_F(Bundles, WritesModelAndCompanionsStoredInAFreshFolder) {
  writeFile(folder / "scene.max", "model bytes wood.png bark.jpg");
  writeFile(folder / "textures/wood.png", pngBytes);
  writeFile(folder / "maps/bark.jpg", jpegBytes);
  auto archive = CompanionBundler::writeBundle(
      folder / "scene.max", opened(folder, {folder / "maps/bark.jpg", folder / "textures/wood.png"}));
  ASSERT_TRUE(archive);
  fs::path path(*archive);
  EXPECT_EQ(path.filename(), "scene.zip");
  EXPECT_TRUE(std::regex_match(path.parent_path().filename().string(),
                               std::regex("[0-9a-f]{8}-[0-9a-f]{3}")));
  EXPECT_EQ(path.parent_path().parent_path(), *CompanionBundler::bundleRoot());
  EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), fs::directory_iterator()), 1);
  EXPECT_TRUE(unzipAccepts(*archive));
  EXPECT_EQ(zipfileListing(*archive),
            "scene.max 0 29\ntextures/ 0 0\ntextures/bark.jpg 0 104\ntextures/wood.png 0 108\n");
}

TEST_F(Bundles, NamesTheArchiveAfterTheModelStemAndKeepsTheFirstOfTwoEqualNames) {
  writeFile(folder / "scene", "m");
  writeFile(folder / "scene.v2.max", "m");
  writeFile(folder / "a/wood.png", pngBytes);
  writeFile(folder / "b/wood.png", jpegBytes);
  auto plain = CompanionBundler::writeBundle(folder / "scene", opened(folder, {folder / "a/wood.png"}));
  auto dotted = CompanionBundler::writeBundle(
      folder / "scene.v2.max", opened(folder, {folder / "a/wood.png", folder / "b/wood.png"}));
  ASSERT_TRUE(plain && dotted);
  EXPECT_EQ(fs::path(*plain).filename(), "scene.zip");
  EXPECT_EQ(fs::path(*dotted).filename(), "scene.v2.zip");
  EXPECT_NE(fs::path(*plain).parent_path(), fs::path(*dotted).parent_path());
  EXPECT_EQ(zipfileListing(*dotted), "scene.v2.max 0 1\ntextures/ 0 0\ntextures/wood.png 0 108\n");
}

TEST_F(Bundles, ArchivesCompanionsAsOpenedAndWritesNothingWithoutTheModel) {
  writeFile(folder / "scene.max", "m");
  writeFile(folder / "gone.png", pngBytes);
  writeFile(folder / "grows.png", pngBytes);
  auto companions = opened(folder, {folder / "gone.png", folder / "grows.png"});
  fs::remove(folder / "gone.png");
  std::ofstream(folder / "grows.png", std::ios::app) << std::string(5000, 'x');
  auto archive = CompanionBundler::writeBundle(folder / "scene.max", companions);
  ASSERT_TRUE(archive);
  EXPECT_EQ(zipfileListing(*archive),
            "scene.max 0 1\ntextures/ 0 0\ntextures/gone.png 0 108\ntextures/grows.png 0 108\n");

  size_t before = bundleFolderCount();
  EXPECT_FALSE(CompanionBundler::writeBundle(folder / "missing.max", {}));
  EXPECT_EQ(bundleFolderCount(), before) << "a failed bundle leaves no folder behind";
}

TEST_F(Bundles, WritesNothingIntoAFolderSomeoneElseCouldControl) {
  writeFile(folder / "scene.max", "wood.png");
  writeFile(folder / "wood.png", pngBytes);
  auto shared = *PrivateDirectory::path();
  fs::permissions(shared, fs::perms::group_read | fs::perms::group_exec, fs::perm_options::add);
  fs::path elsewhere = CompanionBundler::prepare(folder / "scene.max");
  fs::permissions(shared, fs::perms::owner_all, fs::perm_options::replace);
  EXPECT_EQ(elsewhere.extension(), ".zip") << "the run gets a folder of its own";
  EXPECT_NE(elsewhere.string().rfind(shared.string() + "/", 0), 0u);
  PrivateDirectory::removeRunFolder();
  EXPECT_FALSE(fs::exists(elsewhere));

  auto root = *CompanionBundler::bundleRoot();
  fs::remove_all(root);
  fs::create_directory_symlink(folder, root);
  EXPECT_EQ(CompanionBundler::prepare(folder / "scene.max"), (folder / "scene.max").string());
  fs::remove(root);
}

TEST_F(Bundles, PrepareServesOtherTypesAsTheyAre) {
  writeFile(folder / "scene.obj", "wood.png");
  writeFile(folder / "wood.png", pngBytes);
  writeFile(folder / "nothing.max", "no images mentioned");
  writeFile(folder / "unfound.max", "elsewhere.png");
  EXPECT_EQ(CompanionBundler::prepare(folder / "scene.obj"), (folder / "scene.obj").string());
  EXPECT_EQ(CompanionBundler::prepare(folder / "nothing.max"), (folder / "nothing.max").string());
  EXPECT_EQ(CompanionBundler::prepare(folder / "unfound.max"), (folder / "unfound.max").string());
  EXPECT_EQ(bundleFolderCount(), 0u);
  writeFile(folder / "upper.MAX", "wood.png");
  EXPECT_NE(CompanionBundler::prepare(folder / "upper.MAX"), (folder / "upper.MAX").string());
}

TEST_F(Bundles, FindsCompanionsInTheUsualFoldersInOrder) {
  auto model = folder / "project/scene";
  writeFile(model / "wood.png", pngBytes);
  writeFile(model / "textures/wood.png", jpegBytes);
  writeFile(folder / "project/maps/leaf.png", pngBytes);
  writeFile(folder / "project/stone.png", pngBytes);
  writeFile(model / "bark.tga", "tga");
  writeFile(model / "bark.jpg", jpegBytes);
  writeFile(model / "only.tga", "tga");
  EXPECT_EQ(CompanionBundler::findIn(model, "wood.png", true), (model / "wood.png").string());
  EXPECT_EQ(CompanionBundler::findIn(model, "wood.png", false), (model / "textures/wood.png").string());
  EXPECT_EQ(CompanionBundler::findIn(folder / "project", "leaf.png", false),
            (folder / "project/maps/leaf.png").string());
  EXPECT_EQ(CompanionBundler::findIn(folder / "project", "stone.png", false), std::nullopt);
  EXPECT_EQ(CompanionBundler::findIn(model, "bark.TGA", true), (model / "bark.jpg").string());
  EXPECT_EQ(CompanionBundler::findIn(model, "only.tga", true), std::nullopt);

  writeFile(model / "scene.max", "wood.png|leaf.png|stone.png|bark.tga");
  auto archive = CompanionBundler::prepare(model / "scene.max");
  EXPECT_EQ(zipfileListing(archive),
            "scene.max 0 36\ntextures/ 0 0\ntextures/wood.png 0 108\n"
            "textures/leaf.png 0 108\ntextures/bark.jpg 0 104\n");
}

TEST_F(Bundles, TakesOnlyRegularImagesInsideTheSearchedFolders) {
  auto model = folder / "unpacked";
  auto elsewhere = freshFolder("pictures");
  writeFile(elsewhere / "private.png", pngBytes);
  writeFile(model / "real.png", pngBytes);
  fs::create_symlink(elsewhere / "private.png", model / "outside.png");
  fs::create_symlink(model / "real.png", model / "inside.png");
  fs::create_symlink("/dev/zero", model / "zero.png");
  fs::create_directory_symlink(elsewhere, model / "textures");
  ASSERT_EQ(mkfifo((model / "fifo.png").c_str(), 0600), 0);
  writeFile(model / "scene.max", "fifo.png|zero.png|outside.png|private.png|inside.png|real.png");
  auto listing = zipfileListing(CompanionBundler::prepare(model / "scene.max"));
  EXPECT_EQ(listing, "scene.max 0 61\ntextures/ 0 0\ntextures/inside.png 0 108\n"
                     "textures/real.png 0 108\n");

  // A model named without its folder finds its companions beside it all the same.
  auto previous = fs::current_path();
  fs::current_path(model);
  auto bare = CompanionBundler::prepare("scene.max");
  fs::current_path(previous);
  EXPECT_EQ(zipfileListing(bare), listing);
}

TEST_F(Bundles, AcceptsOnlyRealImagesWithinTheLimits) {
  writeFile(folder / "empty.png", "");
  writeFile(folder / "text.png", "just some text");
  writeFile(folder / "tiny.png", "\x89PN");
  writeFile(folder / "jpeg-named.png", jpegBytes);
  writeFile(folder / "webp.webp", std::string("RIFF\0\0\0\0WEBP", 12));
  for (const char* name : {"empty.png", "text.png", "tiny.png"}) {
    EXPECT_FALSE(CompanionBundler::openCompanion(folder / name, folder)) << name;
  }
  EXPECT_TRUE(CompanionBundler::openCompanion(folder / "jpeg-named.png", folder));
  EXPECT_TRUE(CompanionBundler::openCompanion(folder / "webp.webp", folder));

  std::string mentions;
  for (int i = 0; i < 50; ++i) {
    writeFile(folder / ("t" + std::to_string(i) + ".png"), pngBytes);
    mentions += "t" + std::to_string(i) + ".png\n";
  }
  writeFile(folder / "many.max", mentions);
  auto listing = zipfileListing(CompanionBundler::prepare(folder / "many.max"));
  EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 50) << "model, folder, 48 images";
  EXPECT_EQ(listing.find("t48.png"), std::string::npos);

  writeFile(folder / "big1.png", pngBytes + std::string(40u << 20, 'x'));
  writeFile(folder / "big2.png", pngBytes + std::string(40u << 20, 'x'));
  writeFile(folder / "small.png", pngBytes + std::string(10u << 20, 'x'));
  writeFile(folder / "sizes.max", "big1.png|big2.png|small.png|empty.png|text.png");
  listing = zipfileListing(CompanionBundler::prepare(folder / "sizes.max"));
  EXPECT_NE(listing.find("big1.png"), std::string::npos);
  EXPECT_EQ(listing.find("big2.png"), std::string::npos);
  EXPECT_NE(listing.find("small.png"), std::string::npos);
  EXPECT_EQ(listing.find("empty.png"), std::string::npos);
}

TEST_F(Bundles, SweepRemovesOnlyBundlesOlderThanADay) {
  writeFile(folder / "scene.max", "m");
  auto old = fs::path(*CompanionBundler::writeBundle(folder / "scene.max", {})).parent_path();
  auto recent = fs::path(*CompanionBundler::writeBundle(folder / "scene.max", {})).parent_path();
  setAge(old, std::chrono::hours(25));
  setAge(recent, std::chrono::hours(23));
  CompanionBundler::prepare(folder / "scene.max");
  EXPECT_FALSE(fs::exists(old));
  EXPECT_TRUE(fs::exists(recent));
  EXPECT_TRUE(fs::exists(folder / "scene.max"));
}

TEST_F(Bundles, CleanupDeletesOnlyOurOwnBundle) {
  writeFile(folder / "scene.max", "m");
  auto model = (folder / "scene.max").string();
  auto mine = *CompanionBundler::writeBundle(model, {});
  auto other = *CompanionBundler::writeBundle(model, {});
  CompanionBundler::cleanup(model, model);
  EXPECT_TRUE(fs::exists(model));
  CompanionBundler::cleanup(mine, model);
  EXPECT_FALSE(fs::exists(fs::path(mine).parent_path()));
  EXPECT_TRUE(fs::exists(other));
  EXPECT_TRUE(fs::exists(*CompanionBundler::bundleRoot()));

  writeFile(folder / "keep/precious.zip", "user data");
  CompanionBundler::cleanup((folder / "keep/precious.zip").string(), model);
  CompanionBundler::cleanup((*CompanionBundler::bundleRoot() / "../../keep/x.zip").string(), model);
  EXPECT_TRUE(fs::exists(folder / "keep/precious.zip")) << "never delete outside the bundles";
}
