#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "Hooks.h"
#include "HooksFile.h"
#include "PrivateDirectory.h"

namespace fs = std::filesystem;
using fs::perms;

TEST(Hooks, TheEnvironmentWinsThenTheUsersOwnWholeFile) {
  EXPECT_EQ(Hooks::path(), std::string(getenv("XDG_DATA_HOME")) + "/Vexmoor/3DViewer/test-hooks.json");
  const auto mine = perms::owner_read | perms::owner_write;
  struct Case {
    const char* file;
    perms mode;
    const char* environment;
    std::optional<std::string> value;
  };
  const std::vector<Case> cases{
      {R"({"KEY": "file", "other": "x"})", mine, "env", "env"},
      {R"({"KEY": "file", "other": "x"})", mine, "", "file"},
      {R"({"KEY": ""})", mine, "", std::nullopt},
      {R"({"OTHER": "1"})", mine, "", std::nullopt},
      {R"({"KEY": 1})", mine, "", std::nullopt},
      {R"({"KEY": "1", "other": null})", mine, "", std::nullopt},
      {R"(["KEY", "1"])", mine, "", std::nullopt},
      {R"({"KEY": "1")", mine, "", std::nullopt},
      {R"({"KEY": "1"})", mine | perms::group_write, "", std::nullopt},
      {R"({"KEY": "1"})", mine | perms::others_write, "", std::nullopt},
  };
  for (const auto& c : cases) {
    TestSupport::writeHooksFile(c.file);
    fs::permissions(Hooks::path(), c.mode);
    setenv("KEY", c.environment, 1);
    EXPECT_EQ(Hooks::value("KEY"), c.value) << c.file << " env " << c.environment;
  }
  auto elsewhere = fs::path(Hooks::path()).parent_path() / "elsewhere.json";
  std::ofstream(elsewhere) << R"({"KEY": "1"})";
  TestSupport::removeHooksFile();
  fs::create_symlink(elsewhere, Hooks::path());
  EXPECT_EQ(Hooks::value("KEY"), std::nullopt) << "a link is not followed";
  TestSupport::removeHooksFile();
  if (geteuid() == 0) {  // only root can give a file away
    TestSupport::writeHooksFile(R"({"KEY": "1"})");
    ASSERT_EQ(chown(Hooks::path().c_str(), 65534, 65534), 0);
    EXPECT_EQ(Hooks::value("KEY"), std::nullopt) << "a file of another user's";
    TestSupport::removeHooksFile();
  }
  unsetenv("KEY");
}

// Pages that lead to the token go only into a folder that is the user's alone: a runtime
// folder that is a link, someone else's or open to others is passed over for a folder made
// afresh for the run, as is a link in place of the fixed temporary folder.
TEST(PrivateFolders, PassOverFoldersOthersCouldReach) {
  auto runtime = fs::path(getenv("XDG_RUNTIME_DIR"));
  auto elsewhere = fs::temp_directory_path() / "elsewhere";
  fs::create_directories(elsewhere);
  fs::permissions(elsewhere, perms::owner_all, fs::perm_options::replace);
  const std::vector<std::pair<std::string, std::function<void()>>> cases{
      {"a link as the runtime folder", [&] { fs::create_directory_symlink(elsewhere, runtime); }},
      {"a runtime folder open to others",
       [&] {
         fs::create_directory(runtime);
         fs::permissions(runtime, perms::owner_all | perms::others_exec, fs::perm_options::replace);
       }},
      {"a link in the runtime folder",
       [&] {
         fs::create_directory(runtime, elsewhere);
         fs::create_directory_symlink(elsewhere, runtime / "vexmoor-3dviewer");
       }},
      {"a runtime folder of another user's, or none",
       [&] {
         if (geteuid() != 0) return;  // only root can give a folder away
         fs::create_directory(runtime, elsewhere);
         ASSERT_EQ(chown(runtime.c_str(), 65534, 65534), 0);
       }},
  };
  for (const auto& [name, prepare] : cases) {
    SCOPED_TRACE(name);
    fs::remove_all(runtime);
    prepare();
    auto folder = PrivateDirectory::runtimePath();
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->parent_path(), fs::temp_directory_path()) << *folder;
    PrivateDirectory::removeRunFolder();
  }
  auto fixed = fs::temp_directory_path() / ("vexmoor-3dviewer-" + std::to_string(geteuid()));
  fs::remove_all(fixed);
  fs::create_directory_symlink(elsewhere, fixed);
  EXPECT_NE(PrivateDirectory::path(), fixed);
  PrivateDirectory::removeRunFolder();
  fs::remove(fixed);
  fs::remove_all(runtime);
  fs::create_directory(runtime);
  fs::permissions(runtime, perms::owner_all, fs::perm_options::replace);
}
