// What only the delegate decides: the order of serving, alerts and the end of the process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "AppDelegate.h"
#include "Associations.h"
#include "Catalog.h"
#include "CompanionBundler.h"
#include "DesktopServices.h"
#include "HooksFile.h"
#include "Http.h"
#include "TempHome.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class Delegate : public testing::Test, public Alerts, public Browser, public ActivationPolicy {
 protected:
  void SetUp() override {
    defaults.removeAll();
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::ofstream(model) << "solid part";
    TestSupport::writeHooksFile(R"({"VEXMOOR_STUB_URL_FILE": ")" + handOff.string() + "\"}");
  }
  void TearDown() override { TestSupport::removeHooksFile(); }

  void show(AlertStyle style, const std::string& message, const std::string& informative) override {
    events.push_back(std::string(style == AlertStyle::critical ? "critical: " : "warning: ") + message + " | " +
                     informative);
  }
  bool open(const std::string& pageUrl, const std::string&) override {
    events.push_back("browser");
    pageWhenOpened = TestSupport::httpRequest(pageUrl).body;
    return browserWorks;
  }
  void setRegular() override { events.push_back("regular"); }
  void setAccessory() override { events.push_back("accessory"); }

  std::unique_ptr<AppDelegate> makeDelegate(Mode mode = {}, const std::function<void(AppServices&)>& adjust = {}) {
    AppServices services{*this,
                         *this,
                         *this,
                         defaults,
                         [now = now] { return ServerCore::TimePoint(std::chrono::seconds(now->load())); },
                         [this] { events.push_back("terminate"); },
                         [this] { events.push_back("timer"); },
                         [this] { events.push_back("update check"); }};
    services.runManageWindow = [this](bool setup) {
      events.push_back(setup ? "setup" : "manage");
      if (whileWindowShown) whileWindowShown();
    };
    services.runLater = [this](std::chrono::milliseconds delay, std::function<void()> work) {
      std::lock_guard lock(laterLock);
      // Prepared documents come back without a delay, from the thread that prepared them.
      if (delay.count()) events.push_back("after " + std::to_string(delay.count()) + " ms");
      later.push_back(std::move(work));
      laterQueued.notify_all();
    };
    if (adjust) adjust(services);
    return std::make_unique<AppDelegate>(mode, services);
  }
  void runNextLater() {
    std::unique_lock lock(laterLock);
    ASSERT_TRUE(laterQueued.wait_for(lock, 20s, [this] { return !later.empty(); })) << "hang guard";
    auto work = std::move(later.front());
    later.pop_front();
    lock.unlock();
    work();
  }
  // The event loop, until every document given has been prepared and served or reported.
  void settle(AppDelegate& delegate) {
    while (delegate.preparing() && !testing::Test::HasFatalFailure()) runNextLater();
  }
  std::vector<std::string> handOffLines() { return TestSupport::readLines(handOff); }

  std::unique_ptr<DefaultsStore> settings = DesktopServices::settings();
  DefaultsStore& defaults = *settings;
  // Connections may still read the clock after the test has ended.
  std::shared_ptr<std::atomic<long long>> now = std::make_shared<std::atomic<long long>>(1'000'000);
  fs::path folder = fs::temp_directory_path() / "delegate", model = folder / "part.stl",
           handOff = folder / "addresses.txt";
  std::vector<std::string> events;
  std::string pageWhenOpened;
  std::mutex laterLock;
  std::condition_variable laterQueued;
  std::deque<std::function<void()>> later;
  bool browserWorks = true;
  std::function<void()> whileWindowShown;
};

}  // namespace

TEST_F(Delegate, ServesWithThePageReadyBeforeTheBrowserAndEndsWhenEveryServerIsIdle) {
  auto delegate = makeDelegate({Mode::Kind::serve, {model.string()}, false});
  delegate->didFinishLaunching();
  settle(*delegate);
  delegate->serve(model.string());
  EXPECT_TRUE(delegate->preparing()) << "the event loop goes on while the document is prepared";
  settle(*delegate);
  EXPECT_NE(pageWhenOpened.find(FormatCatalog::defaultViewerUrl() + "?bridge=1"), std::string::npos);
  EXPECT_EQ(events,
            (std::vector<std::string>{"accessory", "browser", "timer", "update check", "accessory", "browser"}));
  auto lines = handOffLines();
  ASSERT_EQ(lines.size(), 4u) << "each document appends its two addresses";
  ASSERT_TRUE(TestSupport::httpRequest(lines[0]).ok);  // only the first document is served
  for (long long step : {301, 599, 1}) {
    *now += step;
    delegate->exitTimerTick();
    EXPECT_EQ(events.back() == "terminate", step == 1) << "900 s apply to the second";
  }
}

// Neither ends the other: a file served long idle leaves the window open, and a window closed
// leaves a file the browser still reads.
TEST_F(Delegate, TheWindowAndTheServedFilesKeepTheApplicationRunning) {
  auto delegate = makeDelegate({Mode::Kind::manage, {}, false});
  whileWindowShown = [&] {
    delegate->open({model.string()});
    settle(*delegate);
    *now += 901;
    delegate->exitTimerTick();
    EXPECT_TRUE(TestSupport::httpRequest(handOffLines().at(0)).ok);
    std::this_thread::sleep_for(200ms);  // the server counts the file served once its thread has sent it all
  };
  delegate->didFinishLaunching();
  EXPECT_EQ(std::count(events.begin(), events.end(), "terminate"), 0);
  for (long long step : {300, 1}) {
    *now += step;
    delegate->exitTimerTick();
    EXPECT_EQ(events.back() == "terminate", step == 1) << "300 s after it was read in full";
  }
}

TEST_F(Delegate, TheBuiltInViewerChosenIsTheFrameAndNothingAsksTheNetwork) {
  fs::create_directories(folder / "viewer/app");
  std::ofstream(folder / "viewer/app/viewer.html") << "<p>viewer</p>";
  auto delegate = makeDelegate({Mode::Kind::serve, {model.string()}, false}, [this](AppServices& services) {
    services.builtinViewerChosen = true;
    services.viewerFolder = (folder / "viewer").string();
  });
  delegate->didFinishLaunching();
  settle(*delegate);
  EXPECT_EQ(events, (std::vector<std::string>{"accessory", "browser", "timer"}));
  auto lines = handOffLines();
  ASSERT_EQ(lines.size(), 2u);
  std::string base = lines[1].substr(0, lines[1].size() - 4);
  EXPECT_NE(pageWhenOpened.find("src=\"" + base + "viewer/app/viewer.html?bridge=1\""), std::string::npos);
}

TEST_F(Delegate, EndingWhileABundleIsMadeLeavesNothingBehind) {
  fs::create_directories(folder / "textures");
  std::ofstream(folder / "scene.max") << "scene|wood.png";
  std::ofstream(folder / "textures/wood.png") << std::string("\x89PNG\r\n\x1a\n", 8);
  auto root = CompanionBundler::bundleRoot();
  ASSERT_TRUE(root);
  auto bundles = [&] { return std::distance(fs::directory_iterator(*root), {}); };
  auto before = bundles();
  auto delegate = makeDelegate();
  delegate->serve((folder / "scene.max").string());
  delegate->willTerminate();
  EXPECT_EQ(bundles(), before);
  ASSERT_EQ(later.size(), 1u) << "the bundle was made apart";
  runNextLater();  // its hand-back, after the end
  EXPECT_TRUE(handOffLines().empty());
}

TEST_F(Delegate, WithoutADocumentShowsTheWindowInTheModeTheSettingsCallFor) {
  struct Case {
    Mode mode;
    std::string associated;
    std::vector<std::string> events;
  };
  const std::vector<Case> cases{
      {{Mode::Kind::awaitDocument, {}, false}, "", {"after 400 ms", "regular", "setup", "terminate"}},
      {{Mode::Kind::awaitDocument, {}, false}, "stl", {"after 400 ms", "regular", "manage", "terminate"}},
      {{Mode::Kind::manage, {}, true}, "stl", {"regular", "setup", "terminate"}},
  };
  for (const auto& c : cases) {
    events.clear();
    Config::setList(defaults, Config::associatedExtensionsKey, {c.associated});
    auto delegate = makeDelegate(c.mode);
    delegate->didFinishLaunching();
    if (!later.empty()) runNextLater();
    EXPECT_EQ(events, c.events) << c.associated;
  }
}

TEST_F(Delegate, TellsTheUserWhatWentWrong) {
  browserWorks = false;
  auto delegate = makeDelegate();
  delegate->serve(model.string());
  settle(*delegate);
  EXPECT_EQ(events.at(2), "regular");
  EXPECT_EQ(events.at(3), "warning: Could not open your web browser | You can open the viewer manually at:\n\n" +
                              handOffLines().at(1));
  EXPECT_EQ(delegate->exitStatus(), 0) << "serving goes on";
  EXPECT_TRUE(TestSupport::httpRequest(handOffLines().at(0)).ok);

  for (const auto& path : {(folder / "gone.stl").string(), folder.string()}) {
    events.clear();
    auto failing = makeDelegate();
    failing->serve(path);
    EXPECT_EQ(events,
              (std::vector<std::string>{"regular", "critical: The file could not be found | " + path, "terminate"}));
    EXPECT_EQ(failing->exitStatus(), 1);
  }
  // Among several, a file that is missing is reported and the others are served.
  events.clear();
  auto several = makeDelegate();
  several->open({(folder / "gone.stl").string(), model.string()});
  settle(*several);
  EXPECT_EQ(events.at(1), "critical: The file could not be found | " + (folder / "gone.stl").string());
  EXPECT_EQ(std::count(events.begin(), events.end(), "browser"), 1);
  EXPECT_EQ(std::count(events.begin(), events.end(), "terminate"), 0);
  EXPECT_EQ(several->exitStatus(), 0);
  // In a child, this program started again: it uses up its descriptors for good.
  auto serveWithoutDescriptors = [this] {
    rlimit limit{64, 64};
    setrlimit(RLIMIT_NOFILE, &limit);
    auto useUpDescriptors = [] {
      while (::open("/dev/null", O_RDONLY) >= 0) {
      }
    };
    useUpDescriptors();
    events.clear();
    auto starved = makeDelegate();
    starved->serve(model.string());
    // The servers of the cases above may close a connection while the model is prepared.
    {
      std::unique_lock lock(laterLock);
      laterQueued.wait_for(lock, 20s, [this] { return !later.empty(); });
    }
    useUpDescriptors();
    settle(*starved);
    bool right = events.at(2) == "critical: Could not start the local file server | socket(): Too many open files" &&
                 events.back() == "terminate" && starved->exitStatus() == 1;
    return right ? 3 : 4;
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(serveWithoutDescriptors()), testing::ExitedWithCode(3), "");
}
