// The association switches of the real executable against real GIO, in a temporary XDG
// home that a fake other application shares. Each run is a new process, so GLib reads the
// registry afresh every time, as it would for the user.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>

#include "AssociationSwitches.h"
#include "RunProgram.h"
#include "TempHome.h"

using namespace TestSupport;
namespace fs = std::filesystem;

namespace {

const std::string stlToOther = "[Default Applications]\nmodel/stl=other-viewer.desktop\n";

// A home where another application opens STL files.
struct Registry {
  TempHome home;
  std::vector<std::string> environment = home.environment();

  Registry() {
    writeText(home.dataHome() / "applications/other-viewer.desktop",
              "[Desktop Entry]\nType=Application\nName=Other Viewer\nExec=/bin/true %f\nMimeType=model/stl;\n");
    writeText(home.configHome() / "mimeapps.list", stlToOther);
  }
  ProgramResult viewer(std::vector<std::string> argv) const {
    argv.insert(argv.begin(), executablePath());
    return runProgram(argv, environment);
  }
  // The default application as two tools that are not ours see it.
  std::string defaultsAsOthersSeeThem() const {
    auto xdgMime = runProgram({"/usr/bin/xdg-mime", "query", "default", "model/stl"}, environment).out;
    auto gio = runProgram({"/usr/bin/gio", "mime", "model/stl"}, environment).out;
    auto colon = gio.find(": ");
    return xdgMime.substr(0, xdgMime.find('\n')) + " " +
           (colon == std::string::npos ? "" : gio.substr(colon + 2, gio.find('\n') - colon - 2));
  }
  std::string settings() const { return readText(home.configHome() / "Vexmoor/3DViewer.conf"); }
};

struct Case {
  std::string name;
  std::function<void(Registry&)> prepare;
  std::vector<std::pair<std::vector<std::string>, std::string>> runs;  // arguments, output
  std::string stlDefault;
  std::vector<std::string> settingsHold;
  bool settingsGone = false;
};

const std::string ours = "com.vexmoor.3DViewer.desktop";
const std::string other = "other-viewer.desktop";

}  // namespace

TEST(AssociationSwitches, ClaimAndReleaseAgainstAnotherApplication) {
  auto nothing = [](Registry&) {};
  const std::vector<Case> cases{
      {"claim over another, in upper case",
       nothing,
       {{{"--register", "STL"}, "stl: claimed\n"}},
       ours,
       {"AssociatedExtensions=stl\n", "PriorHandler.stl=other-viewer\n"}},
      {"a second claim keeps the first prior handler",
       nothing,
       {{{"--register", "stl"}, "stl: claimed\n"}, {{"--register", "stl"}, "stl: claimed\n"}},
       ours,
       {"PriorHandler.stl=other-viewer\n"}},
      {"release restores it, a second release changes nothing",
       nothing,
       {{{"--register", "stl"}, "stl: claimed\n"},
        {{"--unregister", "stl"}, "stl: released\n"},
        {{"--unregister", "stl"}, "stl: released\n"}},
       other,
       {"AssociatedExtensions=\n", "PriorHandler.stl=\n"}},
      {"claiming the unowned leaves the other's type alone",
       nothing,
       {{{"--register-unowned"},
         "skp,dwg,step,stp,iges,igs,glb,gltf,obj,dxf,ifc,ply,las,laz,3ds,max,fbx,3mf,dae,wrl,vrml,"
         "wrz,x3d,x3dv,3dm,dwf,dwfx\n"}},
       other,
       {}},
      {"unregistering everything gives back and forgets",
       nothing,
       {{{"--register", "stl,obj"}, "stl: claimed\nobj: claimed\n"}, {{"--unregister-all"}, ""}},
       other,
       {},
       true},
      {"a type without a content type, and empty operands",
       nothing,
       {{{"--register", "nosuchtype,.STL"}, "nosuchtype: refused\nstl: claimed\n"},
        {{"--register", ","}, ""},
        {{"--unregister", " , "}, ""}},
       ours,
       {}},
      {"a desktop-specific list overrides the claim",
       [](Registry& registry) {
         writeText(registry.home.configHome() / "test-mimeapps.list", stlToOther);
         registry.environment.push_back("XDG_CURRENT_DESKTOP=TEST");
       },
       {{{"--register", "stl"}, "stl: refused\n"}},
       other,
       {}},
      {"a remembered application that is gone keeps its record",
       [](Registry& registry) {
         ASSERT_EQ(registry.viewer({"--register", "stl"}).out, "stl: claimed\n");
         fs::remove(registry.home.dataHome() / "applications/other-viewer.desktop");
       },
       {{{"--unregister", "stl"}, "stl: released\n"}},
       ours,
       {"PriorHandler.stl=other-viewer\n"}},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    Registry registry;
    test.prepare(registry);
    for (const auto& [arguments, output] : test.runs) {
      auto result = registry.viewer(arguments);
      EXPECT_EQ(result.exitStatus, 0);
      EXPECT_EQ(result.out, output) << arguments.front();
    }
    EXPECT_EQ(registry.defaultsAsOthersSeeThem(), test.stlDefault + " " + test.stlDefault);
    for (const auto& text : test.settingsHold) EXPECT_NE(registry.settings().find(text), std::string::npos) << text;
    EXPECT_TRUE(!test.settingsGone || registry.settings().empty()) << registry.settings();
  }
}

TEST(AssociationSwitches, NeverRewritesAListItCannotRead) {
  Registry registry;
  fs::remove(registry.home.configHome() / "mimeapps.list");
  writeText(registry.home.root() / "config-dirs/mimeapps.list", stlToOther);
  const std::string broken = "[Default Applications\nmodel/stl=other-viewer.desktop\n# mine\n";
  writeText(registry.home.configHome() / "mimeapps.list", broken);
  EXPECT_EQ(registry.viewer({"--register", "stl"}).out, "stl: refused\n");
  EXPECT_EQ(readText(registry.home.configHome() / "mimeapps.list"), broken);
}

TEST(AssociationSwitches, StatusReportsEveryDeclaredExtension) {
  Registry registry;
  auto result = registry.viewer({"-psn_0_1", "--status", "ignored"});
  ASSERT_EQ(result.exitStatus, 0);
  ASSERT_EQ(result.out.back(), '\n');
  EXPECT_FALSE(std::regex_search(result.out, std::regex(R"([^\\]/)"))) << "every solidus is escaped";
  EXPECT_LT(result.out.find("\"bundleId\""), result.out.find("\"bundlePath\""));
  EXPECT_LT(result.out.find("\"types\""), result.out.find("\"version\""));
  auto report = nlohmann::json::parse(result.out);
  EXPECT_EQ(report["bundlePath"], fs::canonical(executablePath()).string());
  ASSERT_EQ(report["types"].size(), 28u);
  EXPECT_EQ(
      report["types"][9].dump(),
      R"({"declaredType":"model/stl","extension":"stl","handler":"other-viewer","name":"Stereolithography","resolvedType":"model/stl"})");
  EXPECT_EQ(report["types"][14]["resolvedType"], "application/vnd.laszip");

  auto missing = registry.viewer({"--register"});
  EXPECT_EQ(missing.exitStatus, 2);
  EXPECT_EQ(missing.out + missing.err, "");
}

TEST(AssociationSwitches, SplitExtensionsCleansTheOperand) {
  using AssociationSwitches::splitExtensions;
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases{
      {" .OBJ, stl,,STL ", {"obj", "stl", "stl"}},
      {". obj", {" obj"}},
      {"..obj", {".obj"}},
      {"\tÉ\t,.", {"é"}},
      {"", {}},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(splitExtensions(text), expected) << text;
}
