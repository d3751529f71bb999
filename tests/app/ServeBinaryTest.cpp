// The real executable serving documents, as a file manager would start it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "Http.h"
#include "RunProgram.h"
#include "TempHome.h"

using namespace TestSupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> linesOf(const fs::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> waitForLines(const fs::path& path, size_t count) {
  for (int i = 0; i < 200; ++i) {
    auto lines = linesOf(path);
    if (lines.size() >= count) return lines;
    std::this_thread::sleep_for(50ms);
  }
  return linesOf(path);
}

class ServeBinary : public testing::Test {
 protected:
  void SetUp() override {
    models = home.tmp() / "models";
    fs::create_directories(models / "textures");
    std::ofstream(models / "part.stl") << "solid part";
    std::ofstream(models / "scene.max") << "scene|wood.png";
    std::ofstream(models / "textures/wood.png") << std::string("\x89PNG\r\n\x1a\n", 8);
    handOff = home.tmp() / "addresses.txt";
  }

  std::unique_ptr<BackgroundProgram> start(const fs::path& document, bool browser = false,
                                           const std::string& pathPrefix = "") {
    auto environment = home.environment();
    environment.push_back("VEXMOOR_STUB_URL_FILE=" + handOff.string());
    if (!browser) environment.push_back("VEXMOOR_STUB_NO_BROWSER=1");
    for (auto& variable : environment) {
      if (variable.rfind("PATH=", 0) == 0 && !pathPrefix.empty()) {
        variable = "PATH=" + pathPrefix + ":" + variable.substr(5);
      }
    }
    return std::make_unique<BackgroundProgram>(
        std::vector<std::string>{executablePath(), document.string()}, environment);
  }

  size_t bundleCount() {
    auto root = home.tmp() / ("vexmoor-3dviewer-" + std::to_string(geteuid())) / "Vexmoor3DViewer";
    if (!fs::exists(root)) return 0;
    return static_cast<size_t>(std::distance(fs::directory_iterator(root), fs::directory_iterator()));
  }

  TempHome home;
  fs::path models, handOff;
};

}  // namespace

TEST_F(ServeBinary, WritesBothAddressesAndServesThem) {
  std::ofstream(handOff) << "earlier line\n";
  auto viewer = start(models / "part.stl");
  auto lines = waitForLines(handOff, 3);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "earlier line");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(lines[1], match,
                               std::regex("http://127\\.0\\.0\\.1:(\\d+)/([0-9a-f]{32})/file/part\\.stl")));
  EXPECT_EQ(lines[2], "http://127.0.0.1:" + match[1].str() + "/" + match[2].str() + "/open");
  EXPECT_EQ(httpRequest(lines[1]).body, "solid part");
  EXPECT_NE(httpRequest(lines[2]).body.find("<title>part.stl - Vexmoor 3D Viewer</title>"),
            std::string::npos);
  EXPECT_EQ(viewer->stop(SIGTERM), 0);
}

TEST_F(ServeBinary, ServesAMaxModelWithItsTexturesAndDeletesTheBundleOnTheWayOut) {
  auto viewer = start(models / "scene.max");
  auto lines = waitForLines(handOff, 2);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("/file/scene.zip"), std::string::npos);
  EXPECT_EQ(httpRequest(lines[0]).body.substr(0, 2), "PK");
  EXPECT_EQ(bundleCount(), 1u);
  EXPECT_EQ(viewer->stop(SIGTERM), 0);
  EXPECT_EQ(bundleCount(), 0u);
  EXPECT_TRUE(fs::exists(models / "scene.max") && fs::exists(models / "textures/wood.png"));
}

// Whether any process on the machine was started with `text` among its arguments.
bool anyCommandLineHolds(const std::string& text) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "cmdline");
    std::string arguments((std::istreambuf_iterator<char>(in)), {});
    if (arguments.find(text) != std::string::npos) return true;
  }
  return false;
}

// Another local user took the shared temporary folder's name first, and xdg-open runs the
// browser in the foreground: the token still reaches nobody else, the model keeps its
// textures, and the process still ends when asked.
TEST_F(ServeBinary, KeepsTheTokenPrivateWhenAnotherUserHoldsTheTemporaryFolder) {
  if (geteuid() == 0) {
    auto squatted = home.tmp() / ("vexmoor-3dviewer-" + std::to_string(geteuid()));
    fs::create_directory(squatted);
    ASSERT_EQ(chown(squatted.c_str(), 65534, 65534), 0);
  }
  auto bin = home.tmp() / "bin";
  fs::create_directories(bin);
  auto record = home.tmp() / "xdg-open-arguments";
  std::ofstream(bin / "xdg-open") << "#!/bin/sh\n"
                                     "cat \"${1#file://}\" > '" << record.string() << ".page'\n"
                                     "ulimit -Sn > '" << record.string() << ".limit'\n"
                                     "printf '%s\\n' \"$@\" > '" << record.string() << "'\n"
                                     "exec sleep 20 >/dev/null 2>&1\n";
  fs::permissions(bin / "xdg-open", fs::perms::owner_all);
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = std::min<rlim_t>(limit.rlim_max / 2, 1024);  // inherited by the server
  setrlimit(RLIMIT_NOFILE, &limit);
  auto viewer = start(models / "scene.max", true, bin.string());
  auto lines = waitForLines(handOff, 2);
  auto arguments = waitForLines(record, 1);
  ASSERT_EQ(arguments.size(), 1u);
  EXPECT_NE(lines.at(0).find("/file/scene.zip"), std::string::npos) << "textures are still bundled";
  EXPECT_EQ(arguments[0].find("127.0.0.1"), std::string::npos);
  EXPECT_FALSE(anyCommandLineHolds(lines[0].substr(0, lines[0].find('/', 7))));
  auto redirectPath = arguments[0].substr(7);
  EXPECT_EQ(redirectPath.rfind((home.root() / "runtime/").string(), 0), 0u) << redirectPath;
  std::ifstream page(record.string() + ".page");
  std::string redirect((std::istreambuf_iterator<char>(page)), {});
  EXPECT_NE(redirect.find("url=" + lines.at(1) + "\""), std::string::npos);
  struct stat info {};
  ASSERT_EQ(stat(redirectPath.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(waitForLines(record.string() + ".limit", 1).at(0), std::to_string(limit.rlim_cur))
      << "the browser gets the ordinary descriptor limit";

  auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(viewer->stop(SIGTERM), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s) << "a browser in the foreground holds nothing up";
  EXPECT_FALSE(fs::exists(redirectPath)) << "the redirect page goes with the process";
  EXPECT_EQ(bundleCount(), 0u);
}

TEST_F(ServeBinary, TreatsADisplayThatCannotBeReachedAsNone) {
  auto environment = home.environment();
  environment.push_back("DISPLAY=127.0.0.1:91");
  auto result = runProgram({executablePath(), (models / "missing.stl").string()}, environment);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find("error: The file could not be found"), std::string::npos) << result.err;
}

// A default web browser registered the freedesktop way, in the test's own XDG home.
void registerDefaultBrowser(const TempHome& home, const std::string& exec) {
  fs::create_directories(home.dataHome() / "applications");
  std::ofstream(home.dataHome() / "applications/test-browser.desktop")
      << "[Desktop Entry]\nType=Application\nName=Test Browser\nExec=" << exec
      << " %u\nMimeType=x-scheme-handler/http;\n";
  std::ofstream(home.configHome() / "mimeapps.list")
      << "[Default Applications]\nx-scheme-handler/http=test-browser.desktop\n";
}

fs::path recordingScript(const fs::path& path, const fs::path& record) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << record.string() << ".tmp'\n"
                      << "mv '" << record.string() << ".tmp' '" << record.string() << "'\n";
  fs::permissions(path, fs::perms::owner_all);
  return path;
}

TEST_F(ServeBinary, OpensTheDefaultBrowserOnARedirectPage) {
  auto record = home.tmp() / "browser-arguments";
  registerDefaultBrowser(home, recordingScript(home.tmp() / "bin/browser", record).string());
  auto viewer = start(models / "part.stl", true);
  auto lines = waitForLines(handOff, 2);
  auto arguments = waitForLines(record, 1);
  ASSERT_EQ(arguments.size(), 1u);
  // GIO hands a local file to the browser as a path or as a file address.
  std::string redirectPath = arguments[0].rfind("file://", 0) == 0 ? arguments[0].substr(7) : arguments[0];
  EXPECT_EQ(redirectPath.rfind((home.root() / "runtime/").string(), 0), 0u) << redirectPath;
  std::ifstream page(redirectPath);
  std::string redirect((std::istreambuf_iterator<char>(page)), {});
  EXPECT_NE(redirect.find("url=" + lines.at(1) + "\""), std::string::npos);
  EXPECT_EQ(viewer->stop(SIGTERM), 0);
}

TEST_F(ServeBinary, GivesASandboxedBrowserTheOneTimeLaunchAddress) {
  auto record = home.tmp() / "browser-arguments";
  auto flatpak = recordingScript(home.tmp() / "bin/flatpak", record);
  registerDefaultBrowser(home, flatpak.string() + " run org.example.Browser");
  auto viewer = start(models / "part.stl", true);
  auto lines = waitForLines(handOff, 2);
  auto arguments = waitForLines(record, 3);
  ASSERT_EQ(arguments.size(), 3u);
  std::string launch = arguments[2];
  EXPECT_TRUE(std::regex_match(launch, std::regex("http://127\\.0\\.0\\.1:\\d+/[0-9a-f]{32}")));
  EXPECT_EQ(launch.find(lines.at(1).substr(lines[1].size() - 37, 32)), std::string::npos);
  auto port = lines[1].substr(0, lines[1].find('/', 7));
  auto target = launch.substr(port.size());
  auto first = rawExchange(std::stoi(port.substr(17)), "GET " + target + " HTTP/1.1\r\n\r\n");
  EXPECT_EQ(first.rfind("HTTP/1.1 303 See Other\r\nLocation: " + lines[1] + "\r\n", 0), 0u) << first;
  auto second = rawExchange(std::stoi(port.substr(17)), "GET " + target + " HTTP/1.1\r\n\r\n");
  EXPECT_EQ(second.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
  EXPECT_EQ(viewer->stop(SIGTERM), 0);
}

TEST_F(ServeBinary, TwoProcessesServeSideBySide) {
  auto first = start(models / "scene.max");
  waitForLines(handOff, 2);
  auto second = start(models / "scene.max");
  auto lines = waitForLines(handOff, 4);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].substr(0, 22), lines[2].substr(0, 22)) << "separate ports";
  EXPECT_EQ(bundleCount(), 2u);
  EXPECT_EQ(first->stop(SIGTERM), 0);
  EXPECT_EQ(bundleCount(), 1u);
  EXPECT_EQ(httpRequest(lines[2]).body.substr(0, 2), "PK");
  EXPECT_EQ(second->stop(SIGINT), 0);
  EXPECT_EQ(bundleCount(), 0u);
}
