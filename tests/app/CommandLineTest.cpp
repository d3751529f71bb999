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

}  // namespace

TEST(CommandLine, VersionPrintsTheVersionAndSucceeds) {
  auto result = runViewer({"--version"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, "1.0.0\n");
  EXPECT_EQ(result.err, "");
}

TEST(CommandLine, AnythingNotYetBuiltFailsWithAMessage) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {}, {"--setup"}, {"/tmp/model.stl"}, {"--status"}}) {
    auto result = runViewer(arguments);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("not built yet"), std::string::npos);
  }
}
