#include "MemoryDefaultsStore.h"
#include "AppDelegate.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "Catalog.h"
#include "CompanionBundler.h"
#include "HooksFile.h"
#include "Http.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct RecordedAlert {
  AlertStyle style;
  std::string message, informative;
};

class FakeDesktop : public Alerts, public Browser, public ActivationPolicy {
 public:
  void show(AlertStyle style, const std::string& message, const std::string& informative) override {
    alerts.push_back({style, message, informative});
    events.push_back("alert");
  }
  bool open(const std::string& pageUrl, const std::string& launchUrl) override {
    events.push_back("browser");
    opened.push_back(pageUrl);
    launchUrls.push_back(launchUrl);
    pageWhenOpened = TestSupport::httpRequest(pageUrl).body;
    return browserWorks;
  }
  void setRegular() override { events.push_back("regular"); }
  void setAccessory() override { events.push_back("accessory"); }

  std::vector<RecordedAlert> alerts;
  std::vector<std::string> events, opened, launchUrls;
  std::string pageWhenOpened;
  bool browserWorks = true;
};

class Delegate : public testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() / ("delegate-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    model = folder / "part.stl";
    std::ofstream(model) << "solid part";
    handOff = folder / "addresses.txt";
    writeHooks(R"({"VEXMOOR_STUB_URL_FILE": ")" + handOff.string() + "\"}");
  }
  void TearDown() override { TestSupport::removeHooksFile(); }
  void writeHooks(const std::string& json) { TestSupport::writeHooksFile(json); }

  std::unique_ptr<AppDelegate> makeDelegate(Mode mode = {}) {
    return std::make_unique<AppDelegate>(
        mode, AppServices{desktop, desktop, desktop, defaults,
                          [now = now] { return ServerCore::TimePoint(std::chrono::seconds(now->load())); },
                          [this] {
                            ++terminationRequests;
                            desktop.events.push_back("terminate");
                          },
                          [this] { desktop.events.push_back("timer"); },
                          [this] { desktop.events.push_back("update check"); }});
  }

  std::vector<std::string> handOffLines() {
    std::ifstream in(handOff);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  FakeDesktop desktop;
  MemoryDefaultsStore defaults;
  // Connections may still read the clock after the test has ended.
  std::shared_ptr<std::atomic<long long>> now = std::make_shared<std::atomic<long long>>(1'000'000);
  int terminationRequests = 0;
  fs::path folder, model, handOff;
};

}  // namespace

TEST_F(Delegate, ServesADocumentInOrderAndStartsTheTimerOnce) {
  auto delegate = makeDelegate({Mode::Kind::serve, model.string(), false});
  delegate->didFinishLaunching();
  EXPECT_TRUE(delegate->handledDocument());
  auto lines = handOffLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(desktop.opened, std::vector<std::string>{lines[1]});
  EXPECT_NE(desktop.pageWhenOpened.find("<title>part.stl - Vexmoor 3D Viewer</title>"), std::string::npos)
      << "the page is set before the browser is opened";
  EXPECT_NE(desktop.pageWhenOpened.find(FormatCatalog::defaultViewerUrl() + "?bridge=1"), std::string::npos);
  EXPECT_EQ(TestSupport::httpRequest(lines[0]).body, "solid part");

  delegate->serve(model.string());
  EXPECT_EQ(handOffLines().size(), 4u) << "a second document appends two lines";
  EXPECT_EQ(desktop.events, (std::vector<std::string>{"accessory", "browser", "timer", "update check",
                                                       "accessory", "browser"}));
  EXPECT_EQ(terminationRequests, 0);
}

TEST_F(Delegate, EndsOnlyWhenEverySessionIsIdle) {
  auto delegate = makeDelegate();
  delegate->serve(model.string());
  delegate->serve(model.string());
  auto lines = handOffLines();
  ASSERT_TRUE(TestSupport::httpRequest(lines[0]).ok);  // the first document is served
  *now += 301;
  delegate->exitTimerTick();
  EXPECT_EQ(terminationRequests, 0) << "the second was never fetched: 900 s apply";
  *now += 599;
  delegate->exitTimerTick();
  EXPECT_EQ(terminationRequests, 0) << "exactly 900 s is not yet idle";
  *now += 1;
  delegate->exitTimerTick();
  EXPECT_EQ(terminationRequests, 1);
}

TEST_F(Delegate, AMissingFileOrAFolderEndsTheProcessAfterAnAlert) {
  for (const auto& path : {(folder / "gone.stl").string(), folder.string()}) {
    desktop.alerts.clear();
    auto delegate = makeDelegate();
    delegate->serve(path);
    ASSERT_EQ(desktop.alerts.size(), 1u);
    EXPECT_EQ(desktop.alerts[0].style, AlertStyle::critical);
    EXPECT_EQ(desktop.alerts[0].message, "The file could not be found");
    EXPECT_EQ(desktop.alerts[0].informative, path);
    EXPECT_EQ(delegate->exitStatus(), 1);
  }
  EXPECT_EQ(terminationRequests, 2);
  EXPECT_FALSE(fs::exists(handOff));
}

TEST_F(Delegate, AServerThatCannotStartEndsTheProcessAfterAnAlert) {
  // Runs in a child, this program started again: it uses up its descriptors for good.
  auto serveWithoutDescriptors = [this] {
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = 64;
    setrlimit(RLIMIT_NOFILE, &limit);
    while (::open("/dev/null", O_RDONLY) >= 0) {
    }
    auto delegate = makeDelegate();
    delegate->serve(model.string());
    bool right = desktop.alerts.size() == 1 && desktop.alerts[0].style == AlertStyle::critical &&
                 desktop.alerts[0].message == "Could not start the local file server" &&
                 desktop.alerts[0].informative == "socket(): Too many open files" &&
                 terminationRequests == 1 && delegate->exitStatus() == 1;
    return right ? 3 : 4;
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(serveWithoutDescriptors()), testing::ExitedWithCode(3), "");
}

TEST_F(Delegate, ABrowserThatFailsGetsAWarningAndServingGoesOn) {
  desktop.browserWorks = false;
  auto delegate = makeDelegate();
  delegate->serve(model.string());
  ASSERT_EQ(desktop.alerts.size(), 1u);
  EXPECT_EQ(desktop.alerts[0].style, AlertStyle::warning);
  EXPECT_EQ(desktop.alerts[0].message, "Could not open your web browser");
  EXPECT_EQ(desktop.alerts[0].informative,
            "You can open the viewer manually at:\n\n" + handOffLines().at(1));
  EXPECT_EQ(terminationRequests, 0);
  EXPECT_EQ(delegate->exitStatus(), 0);
  EXPECT_TRUE(TestSupport::httpRequest(handOffLines().at(0)).ok);
}

TEST_F(Delegate, TheBrowserHookTakesOnlyExactlyOne) {
  writeHooks(R"({"VEXMOOR_STUB_NO_BROWSER": "1"})");
  makeDelegate()->serve(model.string());
  EXPECT_TRUE(desktop.opened.empty());
  writeHooks(R"({"VEXMOOR_STUB_NO_BROWSER": "true"})");
  makeDelegate()->serve(model.string());
  EXPECT_EQ(desktop.opened.size(), 1u);
}

TEST_F(Delegate, TerminationStopsServersAndDeletesOnlyBundles) {
  auto scene = folder / "scene.max";
  std::ofstream(scene) << "wood.png";
  std::ofstream(folder / "wood.png") << std::string("\x89PNG\r\n\x1a\n", 8);
  auto delegate = makeDelegate();
  delegate->serve(scene.string());
  delegate->serve(model.string());
  auto lines = handOffLines();
  auto bundle = TestSupport::httpRequest(lines[0]);
  EXPECT_EQ(bundle.body.substr(0, 2), "PK");
  auto bundleFolders = [] {
    auto root = *CompanionBundler::bundleRoot();
    return std::distance(fs::directory_iterator(root), fs::directory_iterator());
  };
  EXPECT_EQ(bundleFolders(), 1);
  delegate->willTerminate();
  EXPECT_EQ(bundleFolders(), 0);
  EXPECT_TRUE(fs::exists(scene) && fs::exists(model) && fs::exists(folder / "wood.png"));
  EXPECT_FALSE(TestSupport::httpRequest(lines[2], "GET", 2s).ok) << "servers are stopped";
}
