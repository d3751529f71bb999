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
      {{"--help"}, 0, "Usage: vexmoor-3dviewer [--no-browser] [--port N] [--viewer builtin|URL] [--] [FILE...]\n", ""},
      {{}, 1, "", "the file types window needs a display"},
      {{"--setup"}, 1, "", "the file types window needs a display"},
      {{"--Status"},
       2,
       "",
       "unknown option '--Status' (to open a file of that name: vexmoor-3dviewer -- FILE); see "
       "vexmoor-3dviewer --help\n"},
      {{"--port", "0", "a.stl"}, 2, "", "--port takes a number from 1 to 65535, not '0'"},
      {{"--port", "80abc", "a.stl"}, 2, "", "not '80abc'"},
      {{"--port", "65536", "a.stl"}, 2, "", "not '65536'"},
      {{"--port", "99999999999999999999", "a.stl"}, 2, "", "not '99999999999999999999'"},
      {{"--port", "65535", "a.stl", "b.stl"}, 2, "", "2 files need ports 65535 to 65536"},
      {{"a.stl", "--port"}, 2, "", "--port needs a port number"},
      {{"--no-browser"}, 2, "", "--no-browser and --port need a file to serve"},
      {{"a.stl", "--setup"}, 2, "", "--setup goes first, alone"},
      {{"--\x1b[2J"}, 2, "", "unknown option '--?[2J'"},
      {{"--",
        "-a\x1b[2J\r\xc2\x9b"
        "2J\nhttp://127.0.0.1:1/x/open.stl"},
       1,
       "",
       "The file could not be found\n-a?[2J??2J?http://127.0.0.1:1/x/open.stl\n"},
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

// The installed completion, driven by bash as an interactive shell would: the function that
// `complete -p` names, called with COMP_WORDS and COMP_CWORD, answers in COMPREPLY.
TEST(CommandLine, BashCompletesOptionsExtensionsAndModels) {
  struct Case {
    std::vector<std::string> words;  // the last one is being completed
    std::string replies;             // sorted, one a line
  };
  const std::vector<Case> cases{
      {{"--re"}, "--register\n--register-unowned\n"},
      {{"part.stl", "--"}, "--\n--no-browser\n--port\n--viewer\n"},
      {{"--register", "stl,o"}, "stl,obj\n"},
      {{"--unregister", "3"}, "3dm\n3ds\n3mf\n"},
      {{"--port", ""}, ""},
      {{"--status", ""}, ""},
      {{""}, "--odd.stl\na b.STL\nfolder\nscene.Max\n"},
      {{"--no-browser", "f"}, "folder\n"},
      {{"--", "-"}, "--odd.stl\n"},
  };
  TempHome home;
  auto folder = home.tmp() / "models";
  for (const char* name : {"a b.STL", "scene.Max", "notes.txt", "stl", "--odd.stl", "folder/x"}) {
    writeText(folder / name, "");
  }
  for (const auto& c : cases) {
    std::string words = "vexmoor-3dviewer";
    for (const auto& word : c.words) words += " '" + word + "'";
    auto result = runProgram(
        {"/bin/bash", "-c",
         "source \"$0\" && cd \"$1\" && registered=$(complete -p vexmoor-3dviewer) && function=${registered##*-F } && "
         "function=${function%% *} && COMP_WORDS=(" +
             words +
             ") && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && $function && "
             "{ [ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\\n' \"${COMPREPLY[@]}\" | LC_ALL=C sort; }",
         VEXMOOR_COMPLETION_SCRIPT, folder.string()},
        home.environment());
    EXPECT_EQ(result.exitStatus, 0) << words << result.err;
    EXPECT_EQ(result.out, c.replies) << words;
  }
}
