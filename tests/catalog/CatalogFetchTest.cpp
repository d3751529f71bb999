#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "Catalog.h"
#include "DesktopServices.h"
#include "HooksFile.h"
#include "MemoryDefaultsStore.h"
#include "StubHttpServer.h"

using namespace TestSupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string validCatalog =
    "{\"viewerUrl\": \"https://v.example/tools/3d-viewer\", \"formats\": [\n"
    "{\"id\": \"stl\", \"name\": \"Stereolithography, \\\"STL\\\" – é\", \"category\": \"mesh\","
    " \"extensions\": [\"stl\"]}]}";
const std::string emptyCatalog = R"({"viewerUrl": "https://v.example/x", "formats": []})";

// Points the catalog download at `url` through the test hooks file, as a test harness does.
void overrideEndpoint(const std::string& url) {
  writeHooksFile("{\"VEXMOOR_FORMATS_URL\": \"" + url + "\"}");
}

StubHttpServer::Reply answer(int status, std::string body, std::string headers = "") {
  return {status, std::move(body), std::move(headers), false};
}

class CatalogFetch : public testing::Test {
 protected:
  void TearDown() override { removeHooksFile(); }
  MemoryDefaultsStore defaults;
};

}  // namespace

TEST_F(CatalogFetch, CachesExactlyTheBodyOfAFinalGoodAnswerAndNothingElse) {
  const auto oversized = validCatalog.substr(0, validCatalog.size() - 1) + std::string(1u << 20, ' ') + "}";
  struct Case {
    StubHttpServer::Reply first, then;  // `then` answers any request after a redirect
    bool taken;
    size_t requests;
  };
  const std::vector<Case> cases{
      {answer(200, validCatalog), {}, true, 1},
      {answer(301, "", "Location: /new\r\n"), answer(200, validCatalog), true, 2},
      {answer(500, validCatalog), {}, false, 1},
      {answer(200, emptyCatalog), {}, false, 1},
      {answer(204, ""), {}, false, 1},
      {answer(200, "<html>maintenance</html>"), {}, false, 1},
      {answer(200, oversized), {}, false, 1},
  };
  for (const auto& c : cases) {
    StubHttpServer site([&](const std::string& head) { return head.find("GET /c ") == 0 ? c.first : c.then; });
    overrideEndpoint(site.url("/c"));
    defaults.setString(FormatCatalog::cacheKey, "previous");
    auto catalog = FormatCatalog::tryFetch(defaults);
    EXPECT_EQ(catalog.has_value(), c.taken) << c.first.status << " " << c.first.body.substr(0, 60);
    EXPECT_EQ(defaults.string(FormatCatalog::cacheKey), c.taken ? validCatalog : "previous");
    auto heads = site.requestHeads();
    ASSERT_EQ(heads.size(), c.requests);
    EXPECT_NE(heads[0].find("\r\nUser-Agent: Vexmoor3DViewer-linux/1.0.0\r\n"), std::string::npos);
  }
  StubHttpServer site([](const std::string&) { return answer(200, validCatalog); });
  for (const std::string& notUrl : {std::string("not a url"), site.url("/x").substr(7),
                                    std::string("file:///etc/hostname")}) {
    overrideEndpoint(notUrl);
    EXPECT_FALSE(FormatCatalog::tryFetch(defaults)) << notUrl;
  }
  EXPECT_TRUE(site.requestHeads().empty());
}

TEST_F(CatalogFetch, GivesUpOnAServerThatNeverAnswersWithinItsWaitLimit) {
  StubHttpServer site([](const std::string&) { return StubHttpServer::Reply{200, "", "", true}; });
  overrideEndpoint(site.url("/api/viewer-formats"));
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(FormatCatalog::tryFetch(defaults));
  auto waited = std::chrono::steady_clock::now() - started;
  // The request's own 10 s limit ends it; the 12 s wait is the backstop.
  EXPECT_GT(waited, 9s);
  EXPECT_LT(waited, 13s);
}

TEST_F(CatalogFetch, LoadPrefersNetworkThenCacheThenTheEmbeddedDefault) {
  {
    StubHttpServer site([](const std::string&) { return answer(200, validCatalog); });
    overrideEndpoint(site.url("/c"));
    EXPECT_EQ(FormatCatalog::load(defaults).formats.size(), 1u);
  }
  overrideEndpoint("http://127.0.0.1:1/closed");
  EXPECT_EQ(FormatCatalog::load(defaults).formats.at(0).name, "Stereolithography, \"STL\" – é");
  defaults.setString(FormatCatalog::cacheKey, emptyCatalog);
  EXPECT_EQ(FormatCatalog::load(defaults).formats.size(), 21u);
}

TEST_F(CatalogFetch, ViewerAddressComesFromTheCacheAlone) {
  EXPECT_EQ(FormatCatalog::viewerUrl(defaults), FormatCatalog::defaultViewerUrl());
  defaults.setString(FormatCatalog::cacheKey,
                     R"({"viewerUrl": "", "formats": [{"id": "a", "name": "A", "category": "c", "extensions": []}]})");
  EXPECT_EQ(FormatCatalog::viewerUrl(defaults), FormatCatalog::defaultViewerUrl());
  defaults.setString(FormatCatalog::cacheKey,
                     R"({"viewerUrl": " odd text ", "formats": [{"id": "a", "name": "A", "category": "c", "extensions": []}]})");
  EXPECT_EQ(FormatCatalog::viewerUrl(defaults), " odd text ");
}

TEST_F(CatalogFetch, TheSettingsFileKeepsTheBodyExactlyWhenTwoFetchAtOnce) {
  StubHttpServer site([](const std::string&) { return answer(200, validCatalog); });
  overrideEndpoint(site.url("/c"));
  auto settings = DesktopServices::settings();
  auto first = std::async(std::launch::async, [&] { return FormatCatalog::tryFetch(*settings); });
  EXPECT_TRUE(FormatCatalog::tryFetch(*settings));
  EXPECT_TRUE(first.get());
  EXPECT_TRUE(fs::exists(std::string(getenv("XDG_CONFIG_HOME")) + "/Vexmoor/3DViewer.conf"));
  EXPECT_EQ(DesktopServices::settings()->string(FormatCatalog::cacheKey), validCatalog);
  EXPECT_EQ(FormatCatalog::viewerUrl(*settings), "https://v.example/tools/3d-viewer");
  settings->removeAll();
  EXPECT_EQ(settings->string(FormatCatalog::cacheKey), std::nullopt);
}

TEST_F(CatalogFetch, AProcessMayEndWhileADownloadIsStillRunning) {
  StubHttpServer site([](const std::string&) { return StubHttpServer::Reply{200, "", "", true}; });
  overrideEndpoint(site.url("/c"));
  // The child is this test program started again, so no threads are copied into it.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::thread([] {
          MemoryDefaultsStore store;
          FormatCatalog::tryFetch(store);
        }).detach();
        std::this_thread::sleep_for(300ms);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}
