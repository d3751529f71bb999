// The launches without a document, with the real executable on a real X server (Xvfb),
// driven as a person would with xdotool. Screenshots of both modes are left in the build
// folder for a person to look at.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <thread>

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

}  // namespace

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
