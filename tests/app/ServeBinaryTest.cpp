// The real executable serving documents, as a file manager would start it.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "Http.h"
#include "RunProgram.h"
#include "StubHttpServer.h"
#include "TempHome.h"

using namespace TestSupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Whether any process on the machine was started with `text` among its arguments.
bool anyCommandLineHolds(const std::string& text) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    if (readText(entry.path() / "cmdline").find(text) != std::string::npos) return true;
  }
  return false;
}

class ServeBinary : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(models / "textures");
    std::ofstream(models / "part.stl") << "solid part";
    std::ofstream(models / "scene.max") << "scene|wood.png";
    std::ofstream(models / "textures/wood.png") << std::string("\x89PNG\r\n\x1a\n", 8);
  }
  std::unique_ptr<BackgroundProgram> start(const fs::path& document, std::vector<std::string> environment) {
    environment.push_back("VEXMOOR_STUB_URL_FILE=" + handOff.string());
    return std::make_unique<BackgroundProgram>(std::vector<std::string>{executablePath(), document.string()},
                                               environment);
  }
  std::unique_ptr<BackgroundProgram> startWithoutBrowser(const fs::path& document) {
    auto environment = home.environment();
    environment.push_back("VEXMOOR_STUB_NO_BROWSER=1");
    return start(document, environment);
  }
  size_t bundleCount() {
    auto root = home.tmp() / ("vexmoor-3dviewer-" + std::to_string(geteuid())) / "Vexmoor3DViewer";
    return fs::exists(root) ? static_cast<size_t>(std::distance(fs::directory_iterator(root), {})) : 0;
  }

  TempHome home;
  fs::path models = home.tmp() / "models", handOff = home.tmp() / "addresses.txt";
};

}  // namespace

TEST_F(ServeBinary, HandsOffBothAddressesAndEachProcessKeepsItsOwnBundle) {
  std::ofstream(handOff) << "earlier line\n";
  auto part = startWithoutBrowser(models / "part.stl");
  waitForLines(handOff, 3);
  auto scene = startWithoutBrowser(models / "scene.max");
  waitForLines(handOff, 5);
  auto another = startWithoutBrowser(models / "scene.max");
  auto lines = waitForLines(handOff, 7);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "earlier line");
  std::smatch match;
  ASSERT_TRUE(
      std::regex_match(lines[1], match, std::regex("http://127\\.0\\.0\\.1:(\\d+)/([0-9a-f]{32})/file/part\\.stl")));
  EXPECT_EQ(lines[2], "http://127.0.0.1:" + match[1].str() + "/" + match[2].str() + "/open");
  EXPECT_EQ(httpRequest(lines[1]).body, "solid part");
  EXPECT_NE(httpRequest(lines[2]).body.find("<title>part.stl - Vexmoor 3D Viewer</title>"), std::string::npos);
  EXPECT_NE(lines[3].find("/file/scene.zip"), std::string::npos);
  EXPECT_NE(lines[3].substr(0, 22), lines[5].substr(0, 22)) << "separate ports";
  EXPECT_EQ(bundleCount(), 2u);
  EXPECT_EQ(part->stop(SIGTERM), 0);
  EXPECT_EQ(scene->stop(SIGINT), 0);
  EXPECT_EQ(bundleCount(), 1u);
  EXPECT_EQ(httpRequest(lines[5]).body.substr(0, 2), "PK");
  EXPECT_EQ(another->stop(SIGTERM), 0);
  EXPECT_EQ(bundleCount(), 0u);
  EXPECT_TRUE(fs::exists(models / "scene.max") && fs::exists(models / "textures/wood.png"));
}

// The browser is reached four ways: xdg-open when no browser is registered (it may keep
// the browser in the foreground), the registered browser through GIO, and snap and flatpak
// browsers, which cannot read our folders but each can read one of the user's that nobody
// else can. The token reaches no command line but as the last resort, where a snap's folder
// is someone else's; the browser gets the ordinary descriptor limit; the process still ends
// at once when asked.
TEST_F(ServeBinary, HandsThePageToTheBrowserOverEachLaunchRoute) {
  BackgroundProgram xserver(
      {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp", "-noreset"}, {});
  const std::string display = "DISPLAY=:" + xserver.readLine();
  struct Route {
    const char* name;
    const char* program;  // what the browser is started as, in the test's bin folder
    const char* exec;     // the registered browser's command, or "" for none
    const char* pages;    // where the page goes, below the test's root; "" for the launch address
  };
  const std::vector<Route> routes{
      {"xdg-open", "xdg-open", "", "runtime/vexmoor-3dviewer"},
      {"registered browser", "browser", "browser %u", "runtime/vexmoor-3dviewer"},
      {"snap", "snap/bin/firefox", "snap/bin/firefox %u", "home/snap/firefox/common/vexmoor-3dviewer"},
      {"flatpak", "flatpak", "flatpak run --branch=stable org.mozilla.firefox @@u %u @@",
       "runtime/app/org.mozilla.firefox/vexmoor-3dviewer"},
      {"snap folder of someone else's", "snap/bin/chromium", "snap/bin/chromium %u", ""}};
  for (const auto& route : routes) {
    SCOPED_TRACE(route.name);
    TempHome own;
    auto bin = own.tmp() / "bin", record = own.tmp() / "browser";
    fs::create_directories((bin / route.program).parent_path());
    std::ofstream(bin / route.program) << "#!/bin/sh\nfor a; do [ \"$a\" = @@ ] || last=$a; done\n"
                                       << "cat \"${last#file://}\" > '" << record.string() << ".page' 2>/dev/null\n"
                                       << "ulimit -Sn > '" << record.string() << ".limit'\n"
                                       << "printf '%s\\n' \"$last\" > '" << record.string() << ".tmp'\n"
                                       << "mv '" << record.string() << ".tmp' '" << record.string() << "'\n"
                                       << "exec sleep 20 >/dev/null 2>&1\n";
    fs::permissions(bin / route.program, fs::perms::owner_all);
    if (!*route.pages) {
      fs::create_directories(own.root() / "elsewhere");
      fs::create_directories(own.root() / "home/snap");
      fs::create_directory_symlink(own.root() / "elsewhere", own.root() / "home/snap/chromium");
      if (geteuid() == 0) {
        ASSERT_EQ(lchown((own.root() / "home/snap/chromium").c_str(), 65534, 65534), 0);
      }
    }
    if (*route.exec) {
      fs::create_directories(own.dataHome() / "applications");
      std::ofstream(own.dataHome() / "applications/test-browser.desktop")
          << "[Desktop Entry]\nType=Application\nName=Test Browser\nExec=" << (bin / route.exec).string()
          << "\nMimeType=x-scheme-handler/http;\n";
      std::ofstream(own.configHome() / "mimeapps.list")
          << "[Default Applications]\nx-scheme-handler/http=test-browser.desktop\n";
    }
    // Another local user took the shared temporary folder's name first.
    auto squatted = own.tmp() / ("vexmoor-3dviewer-" + std::to_string(geteuid()));
    fs::create_directory(squatted);
    fs::permissions(squatted, fs::perms::owner_all, fs::perm_options::replace);
    if (geteuid() == 0) {
      ASSERT_EQ(chown(squatted.c_str(), 65534, 65534), 0);
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max / 2, 1024);  // inherited by the server
    setrlimit(RLIMIT_NOFILE, &limit);
    auto environment = own.environment();
    for (auto& variable : environment) {
      if (variable.rfind("PATH=", 0) == 0) variable = "PATH=" + bin.string() + ":" + variable.substr(5);
    }
    environment.push_back(display);  // without one, the address would be printed instead
    handOff = own.tmp() / "addresses.txt";
    auto viewer = start(models / "scene.max", environment);
    auto lines = waitForLines(handOff, 2);
    auto opened = waitForLines(record, 1);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_NE(lines.at(0).find("/file/scene.zip"), std::string::npos) << "textures are still bundled";
    EXPECT_TRUE(fs::is_empty(squatted)) << "nothing goes into a folder another user owns";
    auto port = lines[1].substr(0, lines[1].find('/', 7));
    EXPECT_FALSE(anyCommandLineHolds(port));
    EXPECT_EQ(waitForLines(record.string() + ".limit", 1).at(0), std::to_string(limit.rlim_cur));
    std::string address = opened[0];
    if (!*route.pages) {
      EXPECT_TRUE(std::regex_match(address, std::regex("http://127\\.0\\.0\\.1:\\d+/[0-9a-f]{32}")));
      EXPECT_EQ(address.find(lines[1].substr(port.size() + 1, 32)), std::string::npos);
    } else {
      auto page = fs::path(address.rfind("file://", 0) == 0 ? address.substr(7) : address);
      EXPECT_EQ(page.parent_path(), own.root() / route.pages);
      EXPECT_NE(readText(record.string() + ".page").find("url=" + lines[1] + "\""), std::string::npos);
      struct stat info {};
      EXPECT_EQ(stat(page.c_str(), &info) == 0 ? info.st_mode & 0777 : 0, 0600u);
    }
    auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(viewer->stop(SIGTERM), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s) << "a browser in the foreground holds nothing up";
    auto pages = own.root() / route.pages;
    EXPECT_TRUE(!*route.pages || fs::is_empty(pages)) << "redirect pages go with the process";
  }
}

// When no browser starts, the user is told so in a window (the address it gives is the
// delegate's to test), and the page still works.
TEST_F(ServeBinary, SaysWhereToOpenThePageWhenNoBrowserStarts) {
  BackgroundProgram xserver(
      {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp", "-noreset"}, {});
  const std::string display = "DISPLAY=:" + xserver.readLine();
  const std::vector<std::pair<const char*, const char*>> browsers{
      {"xdg-open that fails", "#!/bin/sh\nexit 3\n"},
      {"no xdg-open at all", nullptr},
  };
  for (const auto& [name, script] : browsers) {
    SCOPED_TRACE(name);
    TempHome own;
    auto bin = own.tmp() / "bin";
    fs::create_directories(bin);
    if (script) {
      std::ofstream(bin / "xdg-open") << script;
      fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    }
    auto environment = own.environment();
    for (auto& variable : environment) {
      if (variable.rfind("PATH=", 0) == 0) variable = "PATH=" + bin.string();
    }
    handOff = own.tmp() / "addresses.txt";
    environment.insert(environment.end(), {"VEXMOOR_STUB_URL_FILE=" + handOff.string(), display});
    BackgroundProgram viewer({executablePath(), models / "part.stl"}, environment);
    auto lines = waitForLines(handOff, 2);
    ASSERT_EQ(lines.size(), 2u);
    auto alert =
        runProgram({"/usr/bin/timeout", "20", "/usr/bin/xdotool", "search", "--sync", "--name", "^Vexmoor 3D Viewer$"},
                   environment);
    EXPECT_FALSE(alert.out.empty()) << "the alert is shown";
    EXPECT_NE(httpRequest(lines[1]).body.find("<title>part.stl - Vexmoor 3D Viewer</title>"), std::string::npos);
    EXPECT_EQ(viewer.stop(SIGTERM), 0);
  }
  xserver.stop(SIGTERM);
}

// From a terminal and over SSH: each page's address on standard output, in the files' order,
// instead of a browser (xdg-open here, which is never started), the tunnel that reaches it,
// chosen ports, options that are options; none handed to the instance on the desktop.
TEST_F(ServeBinary, TerminalLaunchesPrintTheAddressesInsteadOfStartingABrowser) {
  BackgroundProgram xserver(
      {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp", "-noreset"}, {});
  const std::string display = "DISPLAY=:" + xserver.readLine();
  StubHttpServer taken([](const std::string&) { return StubHttpServer::Reply{}; });
  int port = std::stoi(taken.url("").substr(17)) - 2;  // P and P+1 free, P+2 taken
  ASSERT_TRUE(port > 1024 && connectTo(port) < 0 && connectTo(port + 1) < 0);
  const std::string account = getpwuid(geteuid())->pw_name;
  struct Case {
    const char* name;
    std::string arguments;  // split at spaces; {P}, {P+1}, {P+2} are the ports
    std::vector<std::string> environment;
    std::vector<std::string> out;  // "FILE PORT" for an address, "error: TEXT" for status 2, or a pattern
  };
  const std::vector<Case> cases{
      {"--no-browser with a display", "--no-browser part.stl", {display}, {"part.stl \\d+"}},
      {"no display", "part.stl", {}, {"part.stl \\d+"}},
      {"over SSH, on a chosen port",
       "part.stl --port {P}",
       {"SSH_CONNECTION=10.0.0.9 50022 192.168.1.7 22", "USER=-oProxyCommand=sh\x1b[2J"},
       {"part.stl {P}", "ssh -N -L {P}:127\\.0\\.0\\.1:{P} " + account + "@192\\.168\\.1\\.7"}},
      {"over SSH from an address that is none",
       "part.stl",
       {"SSH_CONNECTION=10.0.0.9 50022 -oProxyCommand=sh\x1b]2;x\x07 22"},
       {"part.stl \\d+"}},
      {"--port for two files", "--port={P} scene.max part.stl", {}, {"scene.zip {P}", "part.stl {P+1}"}},
      {"--port taken", "--no-browser --port {P+2} part.stl", {}, {"error: port 127.0.0.1:{P+2} is in use"}},
      {"--port taken for the second file", "--port {P+1} part.stl scene.max", {}, {"error: {P+2} is in use; nothing"}},
      {"an unknown option", "--foo part.stl", {display}, {"error: unknown option '--foo'"}},
      {"-- before a file named like an option", "--no-browser -- --odd.stl", {display}, {"--odd.stl \\d+"}},
  };
  auto withPorts = [port](std::string text) {
    for (int offset : {2, 1, 0}) {
      text = std::regex_replace(text, std::regex("\\{P" + (offset ? "\\+" + std::to_string(offset) : "") + "\\}"),
                                std::to_string(port + offset));
    }
    return text;
  };
  std::ofstream(models / "--odd.stl") << "solid odd";
  auto bin = home.tmp() / "bin", record = home.tmp() / "browser-started";
  writeText(bin / "xdg-open", "#!/bin/sh\necho \"$@\" >> '" + record.string() + "'\n");
  fs::permissions(bin / "xdg-open", fs::perms::owner_all);
  auto environment = home.environment();
  for (auto& variable : environment) {
    if (variable.rfind("PATH=", 0) == 0) variable = "PATH=" + bin.string() + ":" + variable.substr(5);
  }
  BackgroundProgram bus({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"}, environment);
  environment.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus.readLine());
  auto desktopEnvironment = environment;
  desktopEnvironment.insert(desktopEnvironment.end(), {display, "VEXMOOR_STUB_NO_BROWSER=1"});
  auto desktop = start(models / "part.stl", desktopEnvironment);
  ASSERT_EQ(waitForLines(handOff, 2).size(), 2u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto launchEnvironment = environment;
    for (const auto& variable : c.environment) {
      std::erase_if(launchEnvironment, [&](const std::string& had) {
        return had.substr(0, had.find('=')) == variable.substr(0, variable.find('='));
      });
      launchEnvironment.push_back(variable);
    }
    std::vector<std::string> argv{"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", models.string(), executablePath()};
    std::istringstream arguments(withPorts(c.arguments));
    for (std::string argument; arguments >> argument;) argv.push_back(argument);
    if (c.out.at(0).starts_with("error: ")) {
      argv.insert(argv.begin(), {"/usr/bin/timeout", "20"});
      auto result = runProgram(argv, launchEnvironment);
      EXPECT_EQ(result.exitStatus, 2);
      EXPECT_EQ(result.out, "") << "nothing served";
      EXPECT_NE(result.err.find(withPorts(c.out[0].substr(7))), std::string::npos) << result.err;
    } else {
      BackgroundProgram viewer(argv, launchEnvironment);
      for (auto expected : c.out) {
        std::string line = viewer.readLine(), file = expected.substr(0, expected.rfind(' '));
        if (!expected.starts_with("ssh ")) {
          expected = "http://127\\.0\\.0\\.1:" + expected.substr(file.size() + 1) + "/[0-9a-f]{32}/open";
          EXPECT_NE(httpRequest(line).body.find("<title>" + file + " - Vexmoor 3D Viewer</title>"), std::string::npos);
        }
        EXPECT_TRUE(std::regex_match(line, std::regex(withPorts(expected)))) << line;
      }
      EXPECT_EQ(viewer.stop(SIGINT), 0);
      EXPECT_EQ(viewer.readLine(), "") << "nothing more";
    }
    EXPECT_FALSE(fs::exists(record)) << readText(record);
  }
  EXPECT_EQ(readLines(handOff).size(), 2u) << "nothing handed to the desktop's instance";
  xserver.stop(SIGTERM);
}
