// The launches without a document, with the real executable on a real X server (Xvfb),
// driven as a person would with xdotool. Screenshots of both modes are left in the build
// folder for a person to look at.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "Http.h"
#include "RunProgram.h"
#include "TempHome.h"

using namespace TestSupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The window's X id once it is shown, or "" after ten seconds.
std::string waitForWindow(const std::vector<std::string>& environment) {
  for (auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
    auto found = runProgram({"/usr/bin/xdotool", "search", "--name", "^Vexmoor 3D Viewer$"}, environment);
    if (!found.out.empty()) return found.out.substr(0, found.out.find('\n'));
    std::this_thread::sleep_for(20ms);
  }
  return "";
}

size_t windowCount(const std::vector<std::string>& environment) {
  auto found = runProgram({"/usr/bin/xdotool", "search", "--name", "^Vexmoor 3D Viewer$"}, environment).out;
  return static_cast<size_t>(std::count(found.begin(), found.end(), '\n'));
}

}  // namespace

// One running application per desktop session, on a session bus of the test's own: later
// launches hand their files or their window over and end; without a bus, each runs alone.
// A path no other process could find is reported by the launch given it.
TEST(LaunchWindow, LaterLaunchesGoToTheRunningApplication) {
  BackgroundProgram xserver(
      {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "800x700x24", "-nolisten", "tcp", "-noreset"}, {});
  std::string display = ":" + xserver.readLine();
  enum class Later { handedOver, alone, toAStoppedInstance };
  struct Case {
    const char* name;
    // "" stands for the missing file, "\"\"" for an empty argument, "removed/NAME" for NAME
    // relative to a working folder removed before the launch, "here/NAME" for NAME relative to
    // the folder it is in
    std::vector<std::string> first, later;
    bool bus;
    size_t handOffLines;  // two per session, all in the first process when handed over
    size_t windows;       // the file types window, or an alert
    Later runs = Later::handedOver;
  };
  const std::vector<Case> cases{
      {"two files in one launch", {"a.stl", "b.stl"}, {}, true, 4, 0},
      {"a file while one runs", {"a.stl"}, {"b.stl"}, true, 4, 0},
      {"a missing file while one runs", {"a.stl"}, {""}, true, 2, 1},
      {"the window while it is shown", {"--manage"}, {"--manage"}, true, 0, 1},
      {"no session bus", {"a.stl"}, {"b.stl"}, false, 4, 0, Later::alone},
      {"an empty argument while one runs", {"a.stl"}, {"\"\""}, true, 2, 1, Later::alone},
      {"a path from a removed folder while one runs", {"a.stl"}, {"removed/a.stl"}, true, 2, 1, Later::alone},
      {"a file by a relative path while one runs", {"a.stl"}, {"here/b.stl"}, true, 4, 0},
      {"a file while the running one is stopped", {"a.stl"}, {"b.stl"}, true, 4, 0, Later::toAStoppedInstance},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    TempHome home;
    for (const char* name : {"a", "b"})
      writeText(home.tmp() / (std::string(name) + ".stl"), std::string("solid ") + name);
    auto environment = home.environment();
    auto handOff = home.tmp() / "addresses.txt";
    environment.insert(environment.end(), {"DISPLAY=" + display, "VEXMOOR_FORMATS_URL=http://127.0.0.1:9/",
                                           "VEXMOOR_STUB_NO_BROWSER=1", "VEXMOOR_STUB_URL_FILE=" + handOff.string()});
    std::unique_ptr<BackgroundProgram> bus;
    if (test.bus) {
      bus = std::make_unique<BackgroundProgram>(
          std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"}, environment);
      environment.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus->readLine());
    } else {
      environment.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + (home.root() / "no-bus").string());
    }
    auto argv = [&](const std::vector<std::string>& arguments) {
      std::vector<std::string> all{executablePath()};
      for (const auto& argument : arguments) {
        if (argument.rfind("here/", 0) == 0) {
          all.insert(all.begin(), {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", home.tmp().string()});
          all.push_back(argument.substr(5));
          continue;
        }
        if (argument.rfind("removed/", 0) == 0) {
          all.insert(all.begin(), {"/bin/sh", "-c", "mkdir \"$0\" && cd \"$0\" && rmdir \"$0\" && exec \"$@\"",
                                   (home.tmp() / "removed").string()});
          all.push_back(argument.substr(8));
          continue;
        }
        all.push_back(argument == "\"\""   ? ""
                      : argument.empty()   ? (home.tmp() / "gone.stl").string()
                      : argument[0] == '-' ? argument
                                           : (home.tmp() / argument).string());
      }
      return all;
    };
    BackgroundProgram first(argv(test.first), environment);
    bool windowFirst = test.first.front()[0] == '-';
    if (windowFirst) {
      ASSERT_NE(waitForWindow(environment), "");
    }
    waitForLines(handOff, windowFirst ? 0 : 2 * test.first.size());
    std::unique_ptr<BackgroundProgram> standalone;
    if (test.runs == Later::toAStoppedInstance) first.signal(SIGSTOP);
    if (!test.later.empty() && test.runs != Later::alone) {
      auto later = argv(test.later);
      later.insert(later.begin(), {"/usr/bin/timeout", "20"});  // kept running, it would serve for 15 minutes
      auto result = runProgram(later, environment);
      EXPECT_EQ(result.exitStatus, 0) << "handed over, it ends at once";
      if (test.runs == Later::toAStoppedInstance) {
        EXPECT_NE(result.err.find("did not answer"), std::string::npos) << result.err;
        first.signal(SIGCONT);  // and it serves the file it holds, once
      }
    } else if (!test.later.empty()) {
      standalone = std::make_unique<BackgroundProgram>(argv(test.later), environment);
    }
    auto lines = waitForLines(handOff, test.handOffLines);
    EXPECT_EQ(lines.size(), test.handOffLines);
    for (size_t at = 0; at + 1 < lines.size(); at += 2) {
      EXPECT_TRUE(httpRequest(lines[at]).ok) << lines[at];
    }
    if (test.windows) {
      waitForWindow(environment);
      std::this_thread::sleep_for(500ms);  // time enough for a second window, were one opened
    }
    EXPECT_EQ(windowCount(environment), test.windows);
    if (standalone && test.bus) {
      runProgram({"/usr/bin/xdotool", "windowfocus", "--sync", waitForWindow(environment), "key", "Return"},
                 environment);
      EXPECT_EQ(standalone->stop(0), 1) << "the missing file reported, it ends";
    } else if (standalone) {
      EXPECT_EQ(standalone->stop(SIGTERM), 0) << "a process of its own";
    }
    EXPECT_EQ(first.stop(SIGTERM), 0);
  }
  xserver.stop(SIGTERM);
}

TEST(LaunchWindow, ShowsTheWindowWithoutADocumentAndEndsWithIt) {
  BackgroundProgram xserver(
      {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "800x700x24", "-nolisten", "tcp", "-noreset"}, {});
  std::string display = ":" + xserver.readLine();
  ASSERT_NE(display, ":");
  fs::create_directories(VEXMOOR_SCREENSHOT_DIR);
  const std::vector<std::tuple<std::vector<std::string>, std::chrono::milliseconds, std::string>> launches{
      {{}, 400ms, "setup-window.png"},
      {{"--manage"}, 0ms, "manage-window.png"},
  };
  for (const auto& [arguments, delay, screenshot] : launches) {
    SCOPED_TRACE(screenshot);
    TempHome home;
    auto environment = home.environment();
    environment.push_back("DISPLAY=" + display);
    environment.push_back("VEXMOOR_FORMATS_URL=http://127.0.0.1:9/");  // nothing listens there
    std::vector<std::string> argv{executablePath()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto started = std::chrono::steady_clock::now();
    BackgroundProgram viewer(argv, environment);
    std::string window = waitForWindow(environment);
    ASSERT_NE(window, "");
    EXPECT_GE(std::chrono::steady_clock::now() - started, delay);
    std::this_thread::sleep_for(300ms);  // painted
    runProgram({"/usr/bin/import", "-window", window, fs::path(VEXMOOR_SCREENSHOT_DIR) / screenshot}, environment);
    EXPECT_TRUE(fs::exists(fs::path(VEXMOOR_SCREENSHOT_DIR) / screenshot));
    runProgram({"/usr/bin/xdotool", "windowfocus", "--sync", window, "key", "Escape"}, environment);
    EXPECT_EQ(viewer.stop(0), 0) << "Escape closes the window, and the process ends with it";
  }
  xserver.stop(SIGTERM);
}
