#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "CommandLine.h"
#include "RunProgram.h"
#include "TempHome.h"

using namespace TestSupport;

TEST(CommandLine, TheFirstArgumentSelectsTheMode) {
  auto modeOf = [](std::vector<const char*> argv) {
    argv.insert(argv.begin(), "vexmoor-3dviewer");
    return CommandLine::modeFor(
        CommandLine::cleanArguments(static_cast<int>(argv.size()), const_cast<char**>(argv.data())));
  };
  EXPECT_EQ(modeOf({"-psn_0_1234"}).kind, Mode::Kind::awaitDocument);
  auto setup = modeOf({"-psn_0_1234", "--setup", "x"});
  EXPECT_TRUE(setup.kind == Mode::Kind::manage && setup.setup);
  auto manage = modeOf({"--manage"});
  EXPECT_TRUE(manage.kind == Mode::Kind::manage && !manage.setup);
  auto serve = modeOf({"~/a b.stl", "second.stl"});
  EXPECT_TRUE(serve.kind == Mode::Kind::serve && serve.paths == (std::vector<std::string>{"~/a b.stl", "second.stl"}));
}

// A display that cannot be reached counts as none.
TEST(CommandLine, WithoutADisplayEverythingIsSaidOnTheTerminal) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string out, err;
  };
  const std::vector<Case> cases{
      {{"--version"}, 0, "1.0.0\n", ""},
      {{"--help"}, 0, "Usage: vexmoor-3dviewer [FILE...]\n", ""},
      {{}, 1, "", "the file types window needs a display"},
      {{"--setup"}, 1, "", "the file types window needs a display"},
      {{"--Status"}, 1, "", "vexmoor-3dviewer: error: The file could not be found\n--Status\n"},
  };
  TempHome home;
  auto environment = home.environment();
  environment.push_back("DISPLAY=127.0.0.1:91");
  for (const auto& c : cases) {
    std::vector<std::string> argv{executablePath()};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    auto result = runProgram(argv, environment);
    EXPECT_EQ(result.exitStatus, c.status) << argv.back();
    EXPECT_EQ(result.out.substr(0, c.out.size()), c.out) << argv.back();
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
  }
}

// A model the user may not read is reported, not served to a viewer that would get "not found".
TEST(CommandLine, AModelThatCannotBeReadIsReported) {
  TempHome home;
  auto model = home.tmp() / "private.stl";
  writeText(model, "solid private");
  std::filesystem::permissions(model, std::filesystem::perms::none);
  // Served by mistake, it would wait for a viewer for a quarter of an hour.
  std::vector<std::string> argv{"/usr/bin/timeout", "20", executablePath(), model.string()};
  // Root reads any file; here it runs without that power.
  if (geteuid() == 0) argv.insert(argv.begin(), {"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search"});
  auto result = runProgram(argv, home.environment());
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find("vexmoor-3dviewer: error: The file could not be opened\n" + model.string() + "\n"),
            std::string::npos)
      << result.err;
}
