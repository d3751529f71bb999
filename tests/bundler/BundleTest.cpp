#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "BundlerTestSupport.h"
#include "CompanionBundler.h"
#include "PrivateDirectory.h"
#include "RunProgram.h"

using namespace BundlerTests;
namespace fs = std::filesystem;

namespace {

// "name method size" per entry as Python's zipfile reads the archive, after it checked
// every CRC and unzip tested it; "as is" for a model served without a bundle.
std::string listing(const std::string& served, const fs::path& model) {
  if (served == model.string()) return "as is";
  const char* script =
      "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\nassert z.testzip() is None\n"
      "for i in z.infolist(): print(i.filename, i.compress_type, i.file_size)\n";
  auto read = TestSupport::runProgram({"/usr/bin/python3", "-c", script, served}, {});
  auto tested = TestSupport::runProgram({"/usr/bin/unzip", "-tq", served}, {});
  return tested.exitStatus == 0 && read.exitStatus == 0 ? read.out : "unreadable: " + read.err + tested.out;
}

void writeGzip(const fs::path& path, const std::string& text) {
  gzFile file = gzopen(path.c_str(), "wb");
  gzwrite(file, text.data(), static_cast<unsigned>(text.size()));
  gzclose(file);
}

size_t lineCount(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

size_t bundleFolderCount() {
  auto root = CompanionBundler::bundleRoot();
  return root ? static_cast<size_t>(std::distance(fs::directory_iterator(*root), {})) : 0;
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

TEST_F(Bundles, WritesTheModelAndCompanionsAsOpenedIntoAFreshFolder) {
  writeText(folder / "scene.v2.max", "model bytes");
  for (const char* name : {"a/wood.png", "b/wood.png", "gone.png", "grows.png"}) writeText(folder / name, pngBytes);
  std::vector<CompanionBundler::Companion> companions;
  for (const char* name : {"gone.png", "grows.png", "a/wood.png", "b/wood.png"}) {
    companions.push_back(*CompanionBundler::openCompanion(folder / name, folder));
  }
  // Memory the kernel will not copy to a file elsewhere: it goes through a buffer instead.
  UniqueFd memory(memfd_create("memory.png", MFD_CLOEXEC));
  ASSERT_EQ(write(memory.get(), pngBytes.data(), pngBytes.size()), static_cast<ssize_t>(pngBytes.size()));
  companions.push_back({"memory.png", std::move(memory), pngBytes.size(), "textures/memory.png"});
  fs::remove(folder / "gone.png");
  std::ofstream(folder / "grows.png", std::ios::app) << std::string(5000, 'x');
  auto archive = CompanionBundler::writeBundle(folder / "scene.v2.max", companions);
  ASSERT_TRUE(archive);
  fs::path path(*archive);
  EXPECT_EQ(path.filename(), "scene.v2.zip");
  EXPECT_TRUE(std::regex_match(path.parent_path().filename().string(), std::regex("[0-9a-f]{8}-[0-9a-f]{3}")));
  EXPECT_EQ(path.parent_path().parent_path(), *CompanionBundler::bundleRoot());
  EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), {}), 1) << "no temporary file is left";
  EXPECT_EQ(listing(*archive, ""),
            "scene.v2.max 0 11\ntextures/ 0 0\ntextures/gone.png 0 108\ntextures/grows.png 0 108\n"
            "textures/wood.png 0 108\ntextures/memory.png 0 108\n")
      << "stored, as opened, the first of two equal names";
  EXPECT_FALSE(CompanionBundler::writeBundle(folder / "missing.max", {}));
  ASSERT_EQ(mkfifo((folder / "pipe.max").c_str(), 0600), 0);
  EXPECT_FALSE(CompanionBundler::writeBundle(folder / "pipe.max", {})) << "refused at once, not waited on";
  // A file size limit fails writes part way as a full disk does: in the data, or just after.
  writeText(folder / "large.max", std::string(3u << 20, 'm'));
  writeText(folder / "edge.max", std::string((1u << 20) - 30 - 8 - 1, 'm'));
  rlimit unlimited{}, limited{};
  getrlimit(RLIMIT_FSIZE, &unlimited);
  limited = {1u << 20, unlimited.rlim_max};
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &limited);
  EXPECT_FALSE(CompanionBundler::writeBundle(folder / "large.max", {}));
  EXPECT_FALSE(CompanionBundler::writeBundle(folder / "edge.max", {}));
  setrlimit(RLIMIT_FSIZE, &unlimited);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(bundleFolderCount(), 1u) << "a failed bundle leaves no folder behind";
}

// Past 4 GiB, sizes and offsets go into ZIP64 records; a sparse model stays sparse.
TEST_F(Bundles, WritesModelsOver4GiBAsZip64) {
  auto model = folder / "huge.max";
  writeText(model, "");
  fs::resize_file(model, 1ull << 32);
  std::ofstream(model, std::ios::app) << "tail";
  writeText(folder / "wood.png", pngBytes);
  std::vector<CompanionBundler::Companion> companions;
  companions.push_back(*CompanionBundler::openCompanion(folder / "wood.png", folder));
  auto archive = CompanionBundler::writeBundle(model, companions);
  ASSERT_TRUE(archive);
  struct stat info {};
  ASSERT_EQ(stat(archive->c_str(), &info), 0);
  EXPECT_LT(info.st_blocks * 512, 1 << 20) << "the model's hole is not written out";
  const char* script =
      "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\nassert z.read('textures/wood.png')[:4] == b'\\x89PNG'\n"
      "for i in z.infolist(): print(i.filename, i.compress_type, i.file_size, hex(i.CRC))\n";
  auto read = TestSupport::runProgram({"/usr/bin/python3", "-c", script, *archive}, {});
  EXPECT_EQ(read.out, "huge.max 0 4294967300 0x9b519c5c\ntextures/ 0 0 0x0\ntextures/wood.png 0 108 0x" +
                          (std::stringstream() << std::hex
                                               << crc32(0, reinterpret_cast<const Bytef*>(pngBytes.data()),
                                                        static_cast<uInt>(pngBytes.size())))
                              .str() +
                          "\n")
      << read.err;
}

TEST_F(Bundles, PrepareBundlesOnlyRealImagesFoundInTheUsualPlaces) {
  auto model = folder / "project/scene";
  auto outside = freshFolder("pictures");
  writeText(outside / "private.png", pngBytes);
  writeText(model / "wood.png", pngBytes);
  writeText(model / "textures/wood.png", jpegBytes);
  writeText(folder / "project/maps/leaf.png", pngBytes);
  writeText(folder / "project/stone.png", pngBytes);
  writeText(model / "bark.tga", "tga");
  writeText(model / "bark.jpg", jpegBytes);
  writeText(model / "only.tga", "tga");
  writeText(model / "empty.png", "");
  writeText(model / "text.png", "just some text");
  writeText(model / "tiny.png", "\x89PN");
  writeText(model / "jpeg.png", jpegBytes);
  writeText(model / "w.webp", std::string("RIFF\0\0\0\0WEBP", 12));
  fs::create_symlink(outside / "private.png", model / "out.png");
  fs::create_symlink(model / "wood.png", model / "in.png");
  fs::create_symlink("/dev/zero", model / "zero.png");
  ASSERT_EQ(mkfifo((model / "fifo.png").c_str(), 0600), 0);
  fs::create_directory_symlink(outside, model / "images");
  std::string mentions;
  for (int i = 0; i < 50; ++i) {
    writeText(model / ("t" + std::to_string(i) + ".png"), pngBytes);
    if (i < 2) fs::resize_file(model / ("t" + std::to_string(i) + ".png"), 40u << 20);
    mentions += "|t" + std::to_string(i) + ".png";
  }
  const std::vector<std::pair<std::string, std::string>> cases{
      {"scene.obj", "as is"},
      {"nothing.max", "as is"},
      {"elsewhere.png", "as is"},
      {"wood.png|leaf.png|stone.png|bark.tga|only.tga|private.png",
       "scene.max 0 57\ntextures/ 0 0\ntextures/wood.png 0 108\ntextures/leaf.png 0 108\ntextures/bark.jpg 0 104\n"},
      {"fifo.png|zero.png|out.png|in.png|empty.png|text.png|tiny.png|jpeg.png|w.webp",
       "scene.max 0 76\ntextures/ 0 0\ntextures/in.png 0 108\ntextures/jpeg.png 0 104\ntextures/w.webp 0 12\n"},
  };
  for (const auto& [content, expected] : cases) {
    auto name = content == "scene.obj" ? "scene.obj" : "scene.max";
    writeText(model / name, content);
    EXPECT_EQ(listing(CompanionBundler::prepare(model / name), model / name), expected) << content;
  }
  writeText(model / "scene.MAX", mentions);
  auto limited = listing(CompanionBundler::prepare(model / "scene.MAX"), model / "scene.MAX");
  EXPECT_EQ(std::count(limited.begin(), limited.end(), '\n'), 50) << "48 images, 64 MiB at most: " << limited;
  EXPECT_NE(limited.find("t0.png"), std::string::npos);
  EXPECT_EQ(limited.find("t1.png"), std::string::npos);
  EXPECT_NE(limited.find("t48.png"), std::string::npos);

  // A model named without its folder finds its companions beside it all the same.
  writeText(model / "scene.max", "wood.png");
  auto previous = fs::current_path();
  fs::current_path(model);
  auto bare = CompanionBundler::prepare("scene.max");
  fs::current_path(previous);
  EXPECT_EQ(listing(bare, "scene.max"), "scene.max 0 8\ntextures/ 0 0\ntextures/wood.png 0 108\n");

  // The bundle goes to the temporary folder only with 256 MiB to spare beside it.
  for (std::uint64_t spare : {0, 1}) {
    auto room = [&](const fs::path&) { return std::optional<std::uint64_t>((256u << 20) + 8 + 108 - 1 + spare); };
    auto served = CompanionBundler::prepare(model / "scene.max", room);
    EXPECT_EQ(served == (model / "scene.max").string(), spare == 0) << served;
  }
}

// A .max model's textures are looked for beside it, in its usual texture folders and in
// those of the folder above; one image in each, named by the model, is found.
TEST_F(Bundles, FindsTexturesInEveryUsualFolder) {
  const std::vector<std::string> folders{"",    "textures", "texture",   "maps",        "map",
                                         "tex", "images",   "materials", "sourceimages"};
  auto model = folder / "project/scene/scene.max";
  std::string mentions;
  for (const auto& sub : folders) {
    for (const std::string where : {"beside", "above"}) {
      if (sub.empty() && where == "above") continue;  // the folder above itself is not searched
      auto name = where + "-" + (sub.empty() ? "root" : sub) + ".png";
      writeText((where == "beside" ? model.parent_path() : folder / "project") / sub / name, pngBytes);
      mentions += name + "|";
    }
  }
  writeText(folder / "project/above-root.png", pngBytes);
  writeText(model, mentions + "above-root.png");
  auto listed = listing(CompanionBundler::prepare(model), model);
  EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 2 + 17) << listed;
  EXPECT_EQ(listed.find("above-root.png"), std::string::npos) << "not from the folder above itself";
}

// Models that name their buffers, materials, textures and parts by path travel with them,
// each at the path the model names it by; nothing from outside the model's folder comes along.
TEST_F(Bundles, ModelsTravelWithTheFilesTheyNameByPath) {
  writeText(folder / "outside.png", pngBytes);
  auto project = folder / "project";
  for (const char* name :
       {"scene0.bin", "textures/Wood Grain.png", "maps/leaf.png", "parts/wheel.wrl", "parts/nut.stp", "a.step"}) {
    writeText(project / name, pngBytes);
  }
  for (const char* name : {"bump map.png", "sky.png", "alpha.png", "parts/tyre.png"})
    writeText(project / name, pngBytes);
  writeText(project / "house.mtl",
            "newmtl m\nmap_Kd -s 1 1 1 MAPS\\Leaf.png\nbump -bm 0.5 -clamp on bump map.png\n"
            "refl -type sphere -mm 0 1 sky.png\nmap_d -imfchan m alpha.png\n");
  writeText(project / "parts/wheel.wrl", "#VRML V2.0 utf8\nImageTexture { url \"tyre.png\" }\n");
  writeGzip(project / "world.wrz", "#VRML V2.0 utf8\nInline { url [ \"parts/wheel.wrl\" ] }\n");
  writeText(project / "parts/bolt.step", "DOCUMENT_FILE('nut.stp','',$);");
  const std::vector<std::tuple<std::string, std::string, std::string>> cases{
      {"scene.gltf",
       R"({"buffers":[{"uri":"scene0.bin"},{"uri":"data:application/octet-stream;base64,AAAA"}],)"
       R"("images":[{"uri":"textures/Wood%20Grain.png"},{"uri":"../outside.png"},{"uri":"http://x/y.png"}]})",
       "scene.gltf 0 183\nscene0.bin 0 108\ntextures/ 0 0\ntextures/Wood Grain.png 0 108\n"},
      {"house.obj", "mtllib house.mtl\nv 0 0 0\n",
       "house.obj 0 25\nhouse.mtl 0 136\nmaps/ 0 0\nmaps/leaf.png 0 108\nbump map.png 0 108\nsky.png 0 108\n"
       "alpha.png 0 108\n"},
      {"scene.dae",
       "<COLLADA><library_images><image id='i'><init_from>textures/Wood%20Grain.png</init_from></image>"
       "</library_images></COLLADA>",
       "scene.dae 0 122\ntextures/ 0 0\ntextures/Wood Grain.png 0 108\n"},
      {"world.wrl", "#VRML V2.0 utf8\nInline { url [ \"parts/wheel.wrl\" ] }\nImageTexture { url \"maps/leaf.png\" }\n",
       "world.wrl 0 90\nparts/ 0 0\nparts/wheel.wrl 0 48\nmaps/ 0 0\nmaps/leaf.png 0 108\nparts/tyre.png 0 108\n"},
      {"assembly.stp", "#1=DOCUMENT_FILE('parts/bolt.step','',$);#2=DOCUMENT_FILE('C:\\elsewhere\\A.STEP','',$);",
       "assembly.stp 0 86\nparts/ 0 0\nparts/bolt.step 0 30\na.step 0 108\nparts/nut.stp 0 108\n"},
      {"odd.gltf", R"({"buffers":[{"uri":5},{"uri":null},{},{"uri":"scene0.bin"}]})",
       "odd.gltf 0 60\nscene0.bin 0 108\n"},
      {"escape.gltf", R"({"buffers":[{"uri":"../outside.png"}]})", "as is"},
      {"embedded.gltf", R"({"buffers":[{"uri":"data:application/octet-stream;base64,AAAA"}]})", "as is"},
  };
  for (const auto& [name, text, expected] : cases) {
    writeText(project / name, text);
    EXPECT_EQ(listing(CompanionBundler::prepare(project / name), project / name), expected) << name;
  }
  EXPECT_EQ(listing(CompanionBundler::prepare(project / "world.wrz"), project / "world.wrz"),
            "world.wrz 0 " + std::to_string(fs::file_size(project / "world.wrz")) +
                "\nparts/ 0 0\nparts/wheel.wrl 0 48\nparts/tyre.png 0 108\n")
      << "a gzipped scene is read inflated";
}

// The limits hold over every file that travels, those named by named files included, and
// the free space counts them all.
TEST_F(Bundles, ModelsNamingManyFilesKeepWithinTheLimits) {
  std::string maps;
  for (int i = 0; i < 600; ++i) {
    writeText(folder / ("t" + std::to_string(i) + ".png"), pngBytes);
    maps += "map_Kd t" + std::to_string(i) + ".png\n";
  }
  writeText(folder / "m.mtl", maps);
  writeText(folder / "many.obj", "mtllib m.mtl\n");
  auto listed = listing(CompanionBundler::prepare(folder / "many.obj"), folder / "many.obj");
  EXPECT_EQ(lineCount(listed), 1 + 512) << "the model, its material library and 511 of its maps";
  EXPECT_NE(listed.find("t510.png"), std::string::npos);
  EXPECT_EQ(listed.find("t511.png"), std::string::npos);

  const std::uint64_t needed = (256u << 20) + 13 + fs::file_size(folder / "m.mtl") + 511 * pngBytes.size();
  for (std::uint64_t spare : {0, 1}) {
    auto room = [&](const fs::path&) { return std::optional<std::uint64_t>(needed - 1 + spare); };
    auto served = CompanionBundler::prepare(folder / "many.obj", room);
    EXPECT_EQ(served == (folder / "many.obj").string(), spare == 0) << served;
  }
}

TEST_F(Bundles, WritesNothingIntoAFolderSomeoneElseCouldControl) {
  writeText(folder / "scene.max", "wood.png");
  writeText(folder / "wood.png", pngBytes);
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

TEST_F(Bundles, DeletesOnlyItsOwnBundlesAndThoseOlderThanADay) {
  writeText(folder / "scene.max", "m");
  auto model = (folder / "scene.max").string();
  auto old = fs::path(*CompanionBundler::writeBundle(model, {})).parent_path();
  auto recent = *CompanionBundler::writeBundle(model, {});
  auto mine = *CompanionBundler::writeBundle(model, {});
  fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(25));
  fs::last_write_time(fs::path(recent).parent_path(), fs::file_time_type::clock::now() - std::chrono::hours(23));
  CompanionBundler::prepare(model);
  EXPECT_FALSE(fs::exists(old));
  EXPECT_TRUE(fs::exists(recent));

  writeText(folder / "keep/precious.zip", "user data");
  CompanionBundler::cleanup(model, model);
  CompanionBundler::cleanup((folder / "keep/precious.zip").string(), model);
  CompanionBundler::cleanup((*CompanionBundler::bundleRoot() / "../../keep/x.zip").string(), model);
  CompanionBundler::cleanup(mine, model);
  EXPECT_FALSE(fs::exists(fs::path(mine).parent_path()));
  EXPECT_TRUE(fs::exists(recent) && fs::exists(model) && fs::exists(folder / "keep/precious.zip"));
}

// Models that name more than could ever be bundled, reach files under several names, or name
// files no unzipper can be trusted with: served in bounded time, each file once, under safe names.
TEST_F(Bundles, HostileModelsAreServedPromptlyWithEachFileOnceUnderSafeNames) {
  auto lines = [](const std::string& start, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += start + std::to_string(i) + ".mtl\n";
    return text;
  };
  writeText(folder / "many/many.obj",
            "mtllib house.mtl\n" + lines("mtllib ../../../../usr/lib/x86_64-linux-gnu/missing", 40000));
  writeText(folder / "inside/inside.obj",
            lines("mtllib m", 5000) + "mtllib FOUND.MTL\n" + lines("mtllib m", 15000) + "mtllib late.mtl\n");
  for (int i = 0; i < 5000; ++i) writeText(folder / "inside" / std::to_string(i), "");
  for (const char* name : {"many/house.mtl", "inside/found.mtl", "inside/late.mtl"}) writeText(folder / name, "m");
  writeText(folder / "loop/a.wrl",
            "Inline { url [ \"s/a.wrl\" \"t/a.wrl\" ] }\n"
            "ImageTexture { url [ \"t/wood.png\" \"s/wood.png\" \"wood.png\" ] }\n#" +
                std::string(256 << 10, 'x'));
  fs::create_directory_symlink(".", folder / "loop/s");
  fs::create_directory_symlink(".", folder / "loop/t");
  // Every path through two links to the folder is another name for it.
  std::string uris;
  std::minstd_rand random;
  for (int i = 0; i < 2000; ++i) {
    uris += i ? ",{\"uri\":\"" : "{\"images\":[{\"uri\":\"";
    for (int depth = 0; depth < 30; ++depth) uris += random() % 2 ? "a/" : "b/";
    uris += "none.png\"}";
  }
  writeText(folder / "links/links.gltf", uris + "]}");
  for (int i = 0; i < 300; ++i) writeText(folder / "links" / std::to_string(i), "");
  fs::create_directory_symlink(".", folder / "links/a");
  fs::create_directory_symlink(".", folder / "links/b");
  std::string unsafe("FBX\0..\\..\\..\\evil.png\0..dots.png\0", 33);
  writeText(folder / "fbx/evil.fbx", unsafe);
  writeText(folder / "fbx/only.fbx", unsafe.substr(0, 22));
  std::string gltf = R"({"images":[{"uri":"..dots.png"},{"uri":"..\\..dots.png"}]})";
  writeText(folder / "gltf/dots.gltf", gltf);
  writeText(folder / "gltf/back\\slash.gltf", gltf);
  for (const char* name : {"loop/wood.png", "fbx/..\\..\\..\\evil.png", "fbx/..dots.png", "gltf/..dots.png"}) {
    writeText(folder / name, pngBytes);
  }
  auto model = [&](const fs::path& path) {
    return path.filename().string() + " 0 " + std::to_string(fs::file_size(folder / path)) + "\n";
  };
  const std::vector<std::pair<std::string, std::string>> cases{
      {"many/many.obj", model("many/many.obj") + "house.mtl 0 1\n"},
      {"inside/inside.obj", model("inside/inside.obj") + "found.mtl 0 1\n"},
      {"loop/a.wrl", model("loop/a.wrl") + "t/ 0 0\nt/wood.png 0 108\n"},
      {"links/links.gltf", "as is"},
      {"fbx/evil.fbx", "evil.fbx 0 33\ntextures/ 0 0\ntextures/..dots.png 0 108\n"},
      {"fbx/only.fbx", "as is"},
      {"gltf/dots.gltf", "dots.gltf 0 58\n..dots.png 0 108\n"},
      {"gltf/back\\slash.gltf", "back_slash.gltf 0 58\n..dots.png 0 108\n"},
  };
  for (const auto& [name, expected] : cases) {
    auto started = std::chrono::steady_clock::now();
    auto served = CompanionBundler::prepare(folder / name);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10)) << name << " hangs";
    EXPECT_EQ(listing(served, folder / name), expected) << name;
    EXPECT_LT(fs::file_size(served), fs::file_size(folder / name) + 4096) << name;
  }
  std::vector<CompanionBundler::Companion> named;
  for (const char* name : {"..", "a/../b.png", "/b.png", "a\\b.png", ""}) {
    named.push_back(*CompanionBundler::openCompanion(folder / "loop/wood.png", folder));
    named.back().entryName = name;
  }
  EXPECT_EQ(listing(CompanionBundler::writeBundle(folder / "fbx/evil.fbx", named).value_or(""), ""), "evil.fbx 0 33\n");
}
