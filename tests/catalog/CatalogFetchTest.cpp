#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "MemoryDefaultsStore.h"
#include "Catalog.h"
#include "DefaultsStore.h"
#include "HooksFile.h"
#include "DesktopServices.h"
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

TEST_F(CatalogFetch, CachesExactlyTheBodyOfAGoodAnswer) {
  StubHttpServer site([](const std::string&) { return answer(200, validCatalog); });
  overrideEndpoint(site.url("/api/viewer-formats"));
  auto catalog = FormatCatalog::tryFetch(defaults);
  ASSERT_TRUE(catalog);
  EXPECT_EQ(catalog->formats.at(0).id, "stl");
  EXPECT_EQ(defaults.string(FormatCatalog::cacheKey), validCatalog);
  auto heads = site.requestHeads();
  ASSERT_EQ(heads.size(), 1u);
  EXPECT_EQ(heads[0].substr(0, 30), "GET /api/viewer-formats HTTP/1");
  EXPECT_NE(heads[0].find("\r\nUser-Agent: Vexmoor3DViewer-linux/1.0.0\r\n"), std::string::npos);
}

TEST_F(CatalogFetch, FollowsRedirectsToTheFinalAnswer) {
  StubHttpServer site([](const std::string& head) {
    if (head.find("GET /old ") == 0) return answer(301, "", "Location: /new\r\n");
    return answer(200, validCatalog);
  });
  overrideEndpoint(site.url("/old"));
  EXPECT_TRUE(FormatCatalog::tryFetch(defaults));
  EXPECT_EQ(site.requestHeads().size(), 2u);
}

TEST_F(CatalogFetch, KeepsTheCacheWhenTheAnswerIsNotAGoodCatalog) {
  const std::vector<StubHttpServer::Reply> replies{
      answer(500, validCatalog), answer(200, emptyCatalog), answer(204, ""),
      answer(200, "<html>maintenance</html>"),
      answer(200, validCatalog.substr(0, validCatalog.size() - 1) + std::string(1u << 20, ' ') + "}")};
  for (const auto& reply : replies) {
    StubHttpServer site([&](const std::string&) { return reply; });
    overrideEndpoint(site.url("/api/viewer-formats"));
    defaults.setString(FormatCatalog::cacheKey, "previous");
    EXPECT_FALSE(FormatCatalog::tryFetch(defaults)) << reply.status << " " << reply.body.substr(0, 80);
    EXPECT_EQ(defaults.string(FormatCatalog::cacheKey), "previous");
  }
}

TEST_F(CatalogFetch, MakesNoRequestForAnAddressThatIsNotAUrl) {
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
  defaults.setString(FormatCatalog::cacheKey, "{broken");
  EXPECT_EQ(FormatCatalog::viewerUrl(defaults), FormatCatalog::defaultViewerUrl());
  defaults.setString(FormatCatalog::cacheKey,
                     R"({"viewerUrl": "", "formats": [{"id": "a", "name": "A", "category": "c", "extensions": []}]})");
  EXPECT_EQ(FormatCatalog::viewerUrl(defaults), FormatCatalog::defaultViewerUrl());
  defaults.setString(FormatCatalog::cacheKey,
                     R"({"viewerUrl": " odd text ", "formats": [{"id": "a", "name": "A", "category": "c", "extensions": []}]})");
  EXPECT_EQ(FormatCatalog::viewerUrl(defaults), " odd text ");
}

TEST_F(CatalogFetch, TwoCallersAtOnceEachGetTheCatalog) {
  StubHttpServer site([](const std::string&) { return answer(200, validCatalog); });
  overrideEndpoint(site.url("/c"));
  auto first = std::async(std::launch::async, [&] { return FormatCatalog::tryFetch(defaults); });
  auto second = std::async(std::launch::async, [&] { return FormatCatalog::tryFetch(defaults); });
  EXPECT_TRUE(first.get());
  EXPECT_TRUE(second.get());
}

TEST_F(CatalogFetch, TheSettingsFileKeepsTheBodyExactly) {
  StubHttpServer site([](const std::string&) { return answer(200, validCatalog); });
  overrideEndpoint(site.url("/c"));
  auto settings = DesktopServices::settings();
  ASSERT_TRUE(FormatCatalog::tryFetch(*settings));
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
