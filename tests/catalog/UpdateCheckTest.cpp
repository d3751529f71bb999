#include <gtest/gtest.h>

#include <atomic>

#include "Associations.h"
#include "DesktopServices.h"
#include "HooksFile.h"
#include "StubHttpServer.h"
#include "UpdateCheck.h"

using namespace TestSupport;
using namespace std::chrono_literals;

namespace {

const std::string catalog =
    R"json({"viewerUrl": "https://v.example/v", "formats": [
      {"id": "stl", "name": "Stereolithography", "category": "mesh", "extensions": ["STL"]},
      {"id": "ifc", "name": "IFC (Building)", "category": "cad", "extensions": ["ifc"]},
      {"id": "wrl", "name": "VRML", "category": "mesh", "extensions": ["wrl", "vrml", "wrz"]},
      {"id": "3dm", "name": "Rhino 3D Model", "category": "cad", "extensions": ["3dm"]}]})json";

// 2026-12-05T09:55:39Z
const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(1796464539));

struct Case {
  std::string name;
  std::string associated;                // AssociatedExtensions
  std::optional<std::string> lastCheck;  // LastFormatCheckUtc before
  int status;                            // the catalog's answer
  std::vector<std::string> declared;
  bool fetches;
  std::optional<std::string> lastCheckAfter;
  std::optional<std::string> pendingAfter;
};

}  // namespace

TEST(UpdateCheck, ChecksOnceADayForWhatTheViewerOpensAndThisBuildCannot) {
  const std::string stamp = "2026-12-05T09:55:39Z";
  const std::vector<Case> cases{
      {"never associated", "", std::nullopt, 200, {"stl"}, false, std::nullopt, std::nullopt},
      {"checked 23 h ago", "stl", "2026-12-04T10:55:39Z", 200, {"stl"}, false, "2026-12-04T10:55:39Z", std::nullopt},
      {"checked in the future",
       "stl",
       "2026-12-06T09:55:39Z",
       200,
       {"stl"},
       false,
       "2026-12-06T09:55:39Z",
       std::nullopt},
      {"checked 24 h ago",
       "stl",
       "2026-12-04T09:55:39Z",
       200,
       {"stl", "wrz"},
       true,
       stamp,
       "IFC (Building), Rhino 3D Model"},
      {"unreadable time", "stl", "yesterday", 200, {"stl", "vrml"}, true, stamp, "IFC (Building), Rhino 3D Model"},
      {"failed fetch", "stl", "2026-11-01T00:00:00Z", 500, {"stl"}, true, "2026-11-01T00:00:00Z", std::nullopt},
      {"everything declared", "stl", std::nullopt, 200, {"stl", "ifc", "wrl", "3dm"}, true, stamp, ""},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    std::atomic<int> requests = 0;
    StubHttpServer site([&](const std::string&) {
      ++requests;
      return StubHttpServer::Reply{test.status, catalog, "", false};
    });
    writeHooksFile("{\"VEXMOOR_FORMATS_URL\": \"" + site.url("/api/viewer-formats") + "\"}");
    auto settings = DesktopServices::settings();
    auto& defaults = *settings;
    defaults.removeAll();
    defaults.setString(Config::associatedExtensionsKey, test.associated);
    if (test.lastCheck) defaults.setString(UpdateCheck::lastCheckKey, *test.lastCheck);

    auto missing = UpdateCheck::findFormatsNeedingUpdate(defaults, test.declared, now);
    EXPECT_EQ(requests > 0, test.fetches);
    EXPECT_EQ(defaults.string(UpdateCheck::lastCheckKey), test.lastCheckAfter);
    EXPECT_EQ(defaults.string(UpdateCheck::pendingKey), test.pendingAfter);
    EXPECT_EQ(missing.has_value(), test.pendingAfter && !test.pendingAfter->empty());
    if (test.pendingAfter) {
      EXPECT_EQ(defaults.string(UpdateCheck::knownExtensionsKey), "3dm,ifc,stl,vrml,wrl,wrz");
    }
  }
  removeHooksFile();
}
