#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Hooks.h"
#include "HooksFile.h"

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
  unsetenv("KEY");
}
