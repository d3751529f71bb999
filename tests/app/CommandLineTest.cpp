#include <gtest/gtest.h>

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
  EXPECT_TRUE(serve.kind == Mode::Kind::serve && serve.path == "~/a b.stl");
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
      {{"--help"}, 0, "Usage: vexmoor-3dviewer [FILE]\n", ""},
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
