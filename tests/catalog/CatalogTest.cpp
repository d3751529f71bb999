// The catalog of formats and the daily update check: parsed strictly, downloaded from a stub
// site over real HTTP, and kept in the real settings file of the test's home.
#include <gtest/gtest.h>

#include <future>

#include "Associations.h"
#include "BuildInfo.h"
#include "Catalog.h"
#include "DesktopServices.h"
#include "HooksFile.h"
#include "StubHttpServer.h"
#include "UpdateCheck.h"

using namespace TestSupport;
using namespace std::chrono_literals;

namespace {

const std::string stl =
    R"({"id": "stl", "name": "Stereolithography, \"STL\" – é", "category": "mesh", "extensions": ["stl"]})";
const std::string validCatalog = "{\"viewerUrl\": \"https://v.example/tools/3d-viewer\", \"formats\": [\n" + stl + "]}";
const std::string emptyCatalog = R"({"viewerUrl": "https://v.example/x", "formats": []})";

std::string catalogWith(const std::string& formats) {
  return R"({"viewerUrl": "https://v.example/tools/3d-viewer", "version": 7, "formats": [)" + formats + "]}";
}

StubHttpServer::Reply answer(int status, std::string body, std::string headers = "") {
  return {status, std::move(body), std::move(headers), false};
}

class CatalogFetch : public testing::Test {
 protected:
  void SetUp() override { settings->removeAll(); }
  void TearDown() override { removeHooksFile(); }
  // Points the download at `url` through the test hooks file, as a test harness does.
  static void overrideEndpoint(const std::string& url) { writeHooksFile("{\"VEXMOOR_FORMATS_URL\": \"" + url + "\"}"); }
  std::unique_ptr<DefaultsStore> settings = DesktopServices::settings();
};

}  // namespace

TEST(CatalogParse, TakesExactlyACatalogAndKeepsItsOrder) {
  const std::vector<std::string> rejected{
      "<html><body>502 Bad Gateway</body></html>",
      "",
      "[]",
      catalogWith(""),
      catalogWith(stl + R"(, {"id": "x", "name": "X", "extensions": []})"),
      catalogWith(R"({"id": "x", "name": "X", "category": "mesh", "extensions": "x"})"),
      catalogWith(R"({"id": "x", "name": "X", "category": "mesh", "extensions": [1]})"),
      catalogWith(R"({"id": 3, "name": "X", "category": "mesh", "extensions": []})"),
      catalogWith(R"({"id": "x", "name": null, "category": "mesh", "extensions": []})"),
      catalogWith(R"("stl")"),
      R"({"viewerURL": "x", "formats": [)" + stl + "]}",
      R"({"formats": [)" + stl + "]}"};
  for (const auto& text : rejected) EXPECT_FALSE(FormatCatalog::parse(text)) << text;
  auto catalog = FormatCatalog::parse(
      catalogWith(R"({"id": "a", "name": "A", "category": "c", "extensions": ["OBJ", "Ém"], "v": 2},)"
                  R"({"id": "b", "name": "", "category": "", "extensions": []},)"
                  R"({"id": "c", "name": "C", "category": "c", "extensions": ["obj", ""]})"));
  ASSERT_TRUE(catalog);
  EXPECT_EQ(catalog->allExtensions(), (std::vector<std::string>{"obj", "ém", "obj", ""}));
  auto embedded = FormatCatalog::parse(FormatCatalog::embeddedDefault());
  ASSERT_TRUE(embedded);
  EXPECT_EQ(embedded->viewerUrl, std::string(BuildInfo::viewerSite) + "/tools/3d-viewer");
  EXPECT_EQ(embedded->formats.size(), 21u);
  EXPECT_EQ(embedded->allExtensions().size(), 28u);
}

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
    settings->setString(FormatCatalog::cacheKey, "previous");
    auto catalog = FormatCatalog::tryFetch(*settings);
    EXPECT_EQ(catalog.has_value(), c.taken) << c.first.status << " " << c.first.body.substr(0, 60);
    EXPECT_EQ(DesktopServices::settings()->string(FormatCatalog::cacheKey), c.taken ? validCatalog : "previous");
    auto heads = site.requestHeads();
    ASSERT_EQ(heads.size(), c.requests);
    EXPECT_NE(heads[0].find("\r\nUser-Agent: Vexmoor3DViewer-linux/1.0.0\r\n"), std::string::npos);
  }
  StubHttpServer site([](const std::string&) { return answer(200, validCatalog); });
  for (const std::string& notUrl :
       {std::string("not a url"), site.url("/x").substr(7), std::string("file:///etc/hostname")}) {
    overrideEndpoint(notUrl);
    EXPECT_FALSE(FormatCatalog::tryFetch(*settings)) << notUrl;
  }
  EXPECT_TRUE(site.requestHeads().empty());
}

// A catalog asked for over https may move to another https address, never to plain http,
// where anyone on the path could hand us their own viewer address.
TEST_F(CatalogFetch, NeverFollowsARedirectFromHttpsToHttp) {
  const std::string tls = VEXMOOR_TEST_TLS_DIR;
  StubHttpServer plain([](const std::string&) { return answer(200, validCatalog); });
  for (const bool toPlain : {false, true}) {
    SCOPED_TRACE(toPlain ? "to http" : "to https");
    StubHttpServer* secureSite = nullptr;
    StubHttpServer secure(
        [&](const std::string& head) {
          if (head.find("GET /new ") == 0) return answer(200, validCatalog);
          return answer(302, "", "Location: " + (toPlain ? plain.url("/c") : secureSite->url("/new")) + "\r\n");
        },
        StubHttpServer::Tls{tls + "/certificate.pem", tls + "/key.pem"});
    secureSite = &secure;
    writeHooksFile(R"({"VEXMOOR_FORMATS_URL": ")" + secure.url("/c") + R"(", "VEXMOOR_FORMATS_CA_FILE": ")" + tls +
                   "/certificate.pem\"}");
    EXPECT_EQ(FormatCatalog::tryFetch(*settings).has_value(), !toPlain);
    EXPECT_EQ(secure.requestHeads().size(), toPlain ? 1u : 2u);
  }
  EXPECT_TRUE(plain.requestHeads().empty());
}

TEST_F(CatalogFetch, GivesUpOnAServerThatNeverAnswersWithinItsWaitLimit) {
  StubHttpServer site([](const std::string&) { return StubHttpServer::Reply{200, "", "", true}; });
  overrideEndpoint(site.url("/c"));
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(FormatCatalog::tryFetch(*settings));
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GT(waited, 9s) << "the request's own 10 s limit ends it; the 12 s wait is the backstop";
  EXPECT_LT(waited, 13s);
  // The process may end while a download is still running (a child: no threads are copied).
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::thread([this] { FormatCatalog::tryFetch(*settings); }).detach();
        std::this_thread::sleep_for(300ms);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(CatalogFetch, LoadPrefersNetworkThenCacheThenTheEmbeddedDefault) {
  EXPECT_EQ(FormatCatalog::viewerUrl(*settings), FormatCatalog::defaultViewerUrl());
  {
    StubHttpServer site([](const std::string&) { return answer(200, validCatalog); });
    overrideEndpoint(site.url("/c"));
    auto first = std::async(std::launch::async, [&] { return FormatCatalog::load(*settings); });
    EXPECT_EQ(FormatCatalog::load(*settings).formats.size(), 1u);
    EXPECT_EQ(first.get().formats.size(), 1u) << "two at once";
  }
  overrideEndpoint("http://127.0.0.1:1/closed");
  EXPECT_EQ(FormatCatalog::load(*settings).formats.at(0).name, "Stereolithography, \"STL\" – é");
  EXPECT_EQ(FormatCatalog::viewerUrl(*settings), "https://v.example/tools/3d-viewer");
  settings->setString(FormatCatalog::cacheKey, emptyCatalog);
  EXPECT_EQ(FormatCatalog::load(*settings).formats.size(), 21u);
  EXPECT_EQ(FormatCatalog::viewerUrl(*settings), FormatCatalog::defaultViewerUrl());
  settings->setString(FormatCatalog::cacheKey, R"({"viewerUrl": "", "formats": [)" + stl + "]}");
  EXPECT_EQ(FormatCatalog::viewerUrl(*settings), FormatCatalog::defaultViewerUrl());
}

// The page embeds the viewer address and may navigate to it: only addresses that cannot run
// script in the page are downloaded, cached or used, whoever cached them.
TEST_F(CatalogFetch, TakesOnlyViewerAddressesThatCannotRunScript) {
  const std::vector<std::pair<std::string, bool>> cases{
      {"javascript:parent.document.title=document.domain//", false},
      {"data:text/html,<script>alert(1)</script>", false},
      {"http://example.com/tools/3d-viewer", false},
      {"https://user@v.example/tools/3d-viewer", false},
      {"https://", false},
      {"HTTPS://WWW.VEXMOOR.COM:443/tools/3d-viewer", true},
      {"http://127.0.0.1:8080/tools/3d-viewer", true},
      {"http://localhost/tools/3d-viewer", true},
      {"https://v.example/tools/3d-viewer?lang=en#top", true},
      {"https://[::ABCD]:8443/v", true},
      {"https://v.example./v", true},
      // Hosts a browser writes otherwise than here, which would leave the viewer's messages unheard.
      {"https://bücher.example/", false},
      {"https:/v.example/x", false},
      {"http://0x7f.1/", false},
      {"https://1.2.3/", false},
      {"https://v.example.123/", false},
      {"https://ex%61mple.com/", false},
      {"https://[fe80::1%25eth0]/", false},
      {"https://[0:0::1]/", false},
      {"https://[::ffff:127.0.0.1]/", false},
      {"https://[1::2:3:4:5:6:7]/", false},
      {"https://@v.example/", false},
      {"http://localhost.example.com/tools/3d-viewer", false},
      {"http://127.0.0.1.nip.io/tools/3d-viewer", false},
      {"http://evil.example#@127.0.0.1/", false},
      {"http://evil.example\\@localhost/", false},
      {"http://localhost:8080/v#@evil.example", true},
      // The viewer reads the first of a parameter the page adds.
      {"https://v.example/v?a=1&url=https://evil.example/x.glb", false},
      {"https://v.example/v?%62ridge=0", false},
      {"https://v.example/v?urls=1&bridges=", true},
  };
  for (const auto& [url, usable] : cases) {
    SCOPED_TRACE(url);
    const std::string body = R"({"viewerUrl": ")" + url + R"(", "formats": [)" + stl + "]}";
    StubHttpServer site([&](const std::string&) { return answer(200, body); });
    overrideEndpoint(site.url("/c"));
    settings->removeAll();
    EXPECT_EQ(FormatCatalog::tryFetch(*settings).has_value(), usable);
    EXPECT_EQ(settings->string(FormatCatalog::cacheKey).has_value(), usable);
    settings->setString(FormatCatalog::cacheKey, body);  // as an earlier build cached it
    EXPECT_EQ(FormatCatalog::viewerUrl(*settings), usable ? url : FormatCatalog::defaultViewerUrl());
  }
}

TEST_F(CatalogFetch, UpdateCheckLooksOnceADayForWhatTheViewerOpensAndThisBuildCannot) {
  const std::string catalog = R"json({"viewerUrl": "https://v.example/v", "formats": [
      {"id": "stl", "name": "Stereolithography", "category": "mesh", "extensions": ["STL"]},
      {"id": "ifc", "name": "IFC (Building)", "category": "cad", "extensions": ["ifc"]},
      {"id": "wrl", "name": "VRML", "category": "mesh", "extensions": ["wrl", "vrml", "wrz"]},
      {"id": "3dm", "name": "Rhino 3D Model", "category": "cad", "extensions": ["3dm"]}]})json";
  const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(1796464539));
  const std::optional<std::string> none, stamp = "2026-12-05T09:55:39Z", missing = "IFC (Building), Rhino 3D Model";
  struct Case {
    const char* name;
    std::string associated;
    std::optional<std::string> lastCheck;
    int status;
    std::vector<std::string> declared;
    bool fetches;
    std::optional<std::string> lastCheckAfter, pendingAfter;
  };
  const std::vector<Case> cases{
      {"never associated", "", none, 200, {"stl"}, false, none, none},
      {"checked 23 h ago", "stl", "2026-12-04T10:55:39Z", 200, {"stl"}, false, "2026-12-04T10:55:39Z", none},
      {"checked a day ahead", "stl", "2026-12-06T09:55:39Z", 200, {"stl"}, false, "2026-12-06T09:55:39Z", none},
      {"a clock that was wrong once", "stl", "2099-01-01T00:00:00Z", 200, {"stl", "wrz"}, true, stamp, missing},
      {"checked 24 h ago", "stl", "2026-12-04T09:55:39Z", 200, {"stl", "wrz"}, true, stamp, missing},
      {"unreadable time", "stl", "yesterday", 200, {"stl", "vrml"}, true, stamp, missing},
      {"failed fetch", "stl", "2026-11-01T00:00:00Z", 500, {"stl"}, true, "2026-11-01T00:00:00Z", none},
      {"everything declared", "stl", none, 200, {"stl", "ifc", "wrl", "3dm"}, true, stamp, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StubHttpServer site([&](const std::string&) { return answer(c.status, catalog); });
    overrideEndpoint(site.url("/api/viewer-formats"));
    settings->removeAll();
    settings->setString(Config::associatedExtensionsKey, c.associated);
    if (c.lastCheck) settings->setString(UpdateCheck::lastCheckKey, *c.lastCheck);
    auto found = UpdateCheck::findFormatsNeedingUpdate(*settings, c.declared, now);
    EXPECT_EQ(!site.requestHeads().empty(), c.fetches);
    EXPECT_EQ(settings->string(UpdateCheck::lastCheckKey), c.lastCheckAfter);
    EXPECT_EQ(settings->string(UpdateCheck::pendingKey), c.pendingAfter);
    EXPECT_EQ(found.has_value(), c.pendingAfter && !c.pendingAfter->empty());
    EXPECT_EQ(settings->string(UpdateCheck::knownExtensionsKey),
              c.pendingAfter ? std::optional<std::string>("3dm,ifc,stl,vrml,wrl,wrz") : none);
  }
}
