#include "Hooks.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

class HooksFile : public testing::Test {
 protected:
  void SetUp() override { fs::create_directories(fs::path(Hooks::path()).parent_path()); }
  void TearDown() override {
    fs::remove(Hooks::path());
    unsetenv("VEXMOOR_STUB_NO_BROWSER");
  }
  void write(const std::string& text, fs::perms mode = fs::perms::owner_read | fs::perms::owner_write) {
    fs::remove(Hooks::path());
    std::ofstream(Hooks::path()) << text;
    fs::permissions(Hooks::path(), mode);
  }
};

}  // namespace

TEST_F(HooksFile, LivesInTheUsersDataFolder) {
  EXPECT_EQ(Hooks::path(),
            std::string(getenv("XDG_DATA_HOME")) + "/Vexmoor/3DViewer/test-hooks.json");
}

TEST_F(HooksFile, EnvironmentWinsUnlessItsValueIsEmpty) {
  write(R"({"VEXMOOR_STUB_NO_BROWSER": "from-file", "VEXMOOR_FORMATS_URL": ""})");
  setenv("VEXMOOR_STUB_NO_BROWSER", "1", 1);
  EXPECT_EQ(Hooks::value("VEXMOOR_STUB_NO_BROWSER"), "1");
  setenv("VEXMOOR_STUB_NO_BROWSER", "", 1);
  EXPECT_EQ(Hooks::value("VEXMOOR_STUB_NO_BROWSER"), "from-file");
  EXPECT_EQ(Hooks::value("VEXMOOR_FORMATS_URL"), std::nullopt) << "an empty value is no override";
  EXPECT_EQ(Hooks::value("VEXMOOR_STUB_URL_FILE"), std::nullopt);
}

TEST_F(HooksFile, IsUsedWholeOrNotAtAll) {
  const std::vector<std::string> supplyNothing{
      R"({"VEXMOOR_STUB_NO_BROWSER": 1})",
      R"({"VEXMOOR_STUB_NO_BROWSER": "1", "other": 1})",
      R"({"VEXMOOR_STUB_NO_BROWSER": "1", "other": null})",
      R"(["VEXMOOR_STUB_NO_BROWSER", "1"])",
      "",
      "{\"VEXMOOR_STUB_NO_BROWSER\": \"1\"",
  };
  for (const auto& text : supplyNothing) {
    write(text);
    EXPECT_EQ(Hooks::value("VEXMOOR_STUB_NO_BROWSER"), std::nullopt) << text;
  }
  write(R"({"VEXMOOR_STUB_NO_BROWSER": "1", "unrelated": "x"})");
  EXPECT_EQ(Hooks::value("VEXMOOR_STUB_NO_BROWSER"), "1");
  write(R"({"VEXMOOR_STUB_NO_BROWSER": "0"})");
  EXPECT_EQ(Hooks::value("VEXMOOR_STUB_NO_BROWSER"), "0") << "an edit counts at the next call";
}

TEST_F(HooksFile, CountsOnlyWhenNobodyElseCanWriteIt) {
  write(R"({"VEXMOOR_STUB_NO_BROWSER": "1"})",
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_write);
  EXPECT_EQ(Hooks::value("VEXMOOR_STUB_NO_BROWSER"), std::nullopt);
  write(R"({"VEXMOOR_STUB_NO_BROWSER": "1"})",
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_write);
  EXPECT_EQ(Hooks::value("VEXMOOR_STUB_NO_BROWSER"), std::nullopt);

  auto elsewhere = fs::path(Hooks::path()).parent_path() / "elsewhere.json";
  std::ofstream(elsewhere) << R"({"VEXMOOR_STUB_NO_BROWSER": "1"})";
  fs::remove(Hooks::path());
  fs::create_symlink(elsewhere, Hooks::path());
  EXPECT_EQ(Hooks::value("VEXMOOR_STUB_NO_BROWSER"), std::nullopt) << "a link is not followed";
  fs::remove(elsewhere);
}
