#include "CommandLine.h"

#include <gtest/gtest.h>

#include "RunProgram.h"
#include "TempHome.h"

using namespace TestSupport;

namespace {

ProgramResult runViewer(const std::vector<std::string>& arguments) {
  TempHome home;
  std::vector<std::string> argv{executablePath()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runProgram(argv, home.environment());
}

Mode modeOf(std::vector<const char*> argv) {
  argv.insert(argv.begin(), "vexmoor-3dviewer");
  return CommandLine::modeFor(
      CommandLine::cleanArguments(static_cast<int>(argv.size()), const_cast<char**>(argv.data())));
}

}  // namespace

TEST(CommandLine, TheFirstArgumentSelectsTheMode) {
  EXPECT_EQ(modeOf({}).kind, Mode::Kind::awaitDocument);
  EXPECT_EQ(modeOf({"-psn_0_1234"}).kind, Mode::Kind::awaitDocument);
  auto setup = modeOf({"-psn_0_1234", "--setup", "x"});
  EXPECT_TRUE(setup.kind == Mode::Kind::manage && setup.setup);
  auto manage = modeOf({"--manage"});
  EXPECT_TRUE(manage.kind == Mode::Kind::manage && !manage.setup);
  auto serve = modeOf({"~/a b.stl", "second.stl"});
  EXPECT_TRUE(serve.kind == Mode::Kind::serve && serve.path == "~/a b.stl");
  EXPECT_EQ(modeOf({"--Status"}).path, "--Status");
}

TEST(CommandLine, HelpAndVersionAnswerOnTheTerminal) {
  auto version = runViewer({"--version"});
  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_EQ(version.out, "1.0.0\n");
  auto help = runViewer({"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.out.find("Usage: vexmoor-3dviewer [FILE]"), std::string::npos);
}

TEST(CommandLine, TheWindowWithoutADisplaySaysSoAndFails) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{{}, {"--setup"}}) {
    auto result = runViewer(arguments);
    EXPECT_NE(result.exitStatus, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("needs a display"), std::string::npos);
  }
}

TEST(CommandLine, AMissingFileEndsWithTheAlertOnTheTerminal) {
  auto result = runViewer({"--Status"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.err, "vexmoor-3dviewer: error: The file could not be found\n--Status\n");
}
