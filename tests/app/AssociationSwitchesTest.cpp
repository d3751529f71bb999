// The association switches of the real executable against real GIO, in a temporary XDG
// home that a fake other application shares. Each run is a new process, so GLib reads the
// registry afresh every time, as it would for the user.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <future>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "AssociationSwitches.h"
#include "FileLock.h"
#include "RunProgram.h"
#include "TempHome.h"

using namespace TestSupport;
namespace fs = std::filesystem;

namespace {

const std::string stlToOther =
    "[Default Applications]\nmodel/stl=other-viewer.desktop\nmodel/step=other-viewer.desktop\n";

// A home where another application opens STL and STEP files, and a third could.
struct Registry {
  TempHome home;
  std::vector<std::string> environment = home.environment();

  Registry() {
    for (const auto& name : {"other", "third"}) {
      writeText(home.dataHome() / "applications" / (std::string(name) + "-viewer.desktop"),
                "[Desktop Entry]\nType=Application\nName=Viewer\nExec=/bin/true %f\nMimeType=model/stl;model/step;\n");
    }
    writeText(home.configHome() / "mimeapps.list", stlToOther);
  }
  ProgramResult viewer(std::vector<std::string> argv) const {
    argv.insert(argv.begin(), executablePath());
    return runProgram(argv, environment);
  }
  // The default application as two tools that are not ours see it.
  std::string defaultAsOthersSeeIt(const std::string& type) const {
    auto xdgMime = runProgram({"/usr/bin/xdg-mime", "query", "default", type}, environment).out;
    auto gio = runProgram({"/usr/bin/gio", "mime", type}, environment).out;
    auto colon = gio.find(": ");
    return xdgMime.substr(0, xdgMime.find('\n')) + " " +
           (colon == std::string::npos ? "" : gio.substr(colon + 2, gio.find('\n') - colon - 2));
  }
  std::string settings() const { return readText(home.configHome() / "Vexmoor/3DViewer.conf"); }
};

const std::string ours = "com.vexmoor.3DViewer.desktop";
const std::string other = "other-viewer.desktop";
const std::string third = "third-viewer.desktop";

void claimThenUserPicksThird(Registry& registry) {
  ASSERT_EQ(registry.viewer({"--register", "stl"}).out, "stl: claimed\n");
  runProgram({"/usr/bin/gio", "mime", "model/stl", third}, registry.environment);
}

struct Case {
  std::string name;
  std::function<void(Registry&)> prepare;
  std::vector<std::pair<std::vector<std::string>, std::string>> runs;  // arguments, output
  std::string stlDefault;
  std::vector<std::string> settingsHold;
  bool settingsGone = false;
  std::string stepDefault = other;
  std::string says{};  // on standard error
  int status = 0;
  std::vector<std::string> configGone{};
  std::vector<std::string> configKept{};
};

size_t count(const std::string& text, const std::string& piece) {
  size_t found = 0;
  for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++found;
  return found;
}

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
         "skp,dwg,iges,igs,glb,gltf,obj,dxf,ifc,ply,las,laz,3ds,max,fbx,3mf,dae,wrl,vrml,"
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
      {"settings that cannot be written refuse the claim before the default changes",
       [](Registry& registry) { writeText(registry.home.configHome() / "Vexmoor", "a file, not a folder"); },
       {{{"--register", "stl"}, "stl: refused\n"}},
       other,
       {},
       true,
       other,
       "could not be written",
       1},
      {"a settings link to nothing stays, and refuses",
       [](Registry& registry) {
         fs::create_directories(registry.home.configHome() / "Vexmoor");
         fs::create_symlink("../../dotfiles/3DViewer.conf", registry.home.configHome() / "Vexmoor/3DViewer.conf");
       },
       {{{"--register", "stl"}, "stl: refused\n"}},
       other,
       {},
       true,
       other,
       "could not be written",
       1},
      {"copies left by a killed run go at the next write",
       [](Registry& registry) {
         for (const auto& name :
              {"3DViewer.conf.draft-AbC123", "3DViewer.conf.draft-AbC123.lock", "3DViewer.conf.backup"}) {
           writeText(registry.home.configHome() / "Vexmoor" / name, "[General]\n");
           fs::last_write_time(registry.home.configHome() / "Vexmoor" / name,
                               fs::file_time_type::clock::now() - std::chrono::minutes(2));
         }
       },
       {{{"--register", "stl"}, "stl: claimed\n"}},
       ours,
       {"PriorHandler.stl=other-viewer\n"},
       false,
       other,
       "",
       0,
       {"Vexmoor/3DViewer.conf.draft-AbC123", "Vexmoor/3DViewer.conf.draft-AbC123.lock"},
       {"Vexmoor/3DViewer.conf.backup"}},
      {"a remembered application that is gone keeps its record",
       [](Registry& registry) {
         ASSERT_EQ(registry.viewer({"--register", "stl"}).out, "stl: claimed\n");
         fs::remove(registry.home.dataHome() / "applications/other-viewer.desktop");
       },
       {{{"--unregister", "stl"}, "stl: released\n"}},
       ours,
       {"PriorHandler.stl=other-viewer\n"},
       false,
       ours},
      {"giving back leaves a type the user gave to another since with it",
       claimThenUserPicksThird,
       {{{"--unregister", "stl"}, "stl: released\n"}},
       third,
       {"AssociatedExtensions=\n", "PriorHandler.stl=\n"}},
      {"undeclared types are never claimed",
       nothing,
       {{{"--register", "txt,html,png,tar.gz,x/.stl"},
         "txt: refused\nhtml: refused\npng: refused\ntar.gz: refused\nx/.stl: refused\n"}},
       other,
       {}},
      {"a type the desktop does not know is never claimed",
       [](Registry& registry) {
         auto environment = registry.environment;
         for (auto& variable : environment) {
           if (variable.rfind("PATH=", 0) == 0) variable = "PATH=/nonexistent";  // no update-mime-database
         }
         auto result = runProgram({executablePath(), "--register", "skp,stl"}, environment);
         EXPECT_EQ(result.out, "skp: refused\nstl: claimed\n");
       },
       {},
       ours,
       {"AssociatedExtensions=stl\n"}},
      {"extensions of one content type are claimed and given back as one",
       nothing,
       {{{"--register", "step,stp"}, "step: claimed\nstp: claimed\n"}, {{"--unregister", "stp"}, "stp: released\n"}},
       other,
       {"AssociatedExtensions=\n", "PriorHandler.step=\n", "PriorHandler.stp=\n"}},
      {"unregistering everything leaves the user's later choice",
       claimThenUserPicksThird,
       {{{"--register", "step,txt"}, "step: claimed\ntxt: refused\n"}, {{"--unregister-all"}, ""}},
       third,
       {},
       true},
      {"a new user without a mimeapps.list of their own",
       [](Registry& registry) {
         fs::rename(registry.home.configHome() / "mimeapps.list", registry.home.root() / "config-dirs/mimeapps.list");
       },
       {{{"--register", "stl"}, "stl: claimed\n"}, {{"--unregister", "stl"}, "stl: released\n"}},
       other,
       {"AssociatedExtensions=\n", "PriorHandler.stl=\n"}},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    Registry registry;
    test.prepare(registry);
    std::string said;
    for (const auto& [arguments, output] : test.runs) {
      auto result = registry.viewer(arguments);
      EXPECT_EQ(result.exitStatus, test.status);
      EXPECT_EQ(result.out, output) << arguments.front();
      EXPECT_EQ(count(result.err, " refused: "), count(result.out, ": refused")) << result.err;
      said += result.err;
    }
    EXPECT_NE(said.find(test.says), std::string::npos) << said;
    for (const auto& name : test.configGone) EXPECT_FALSE(fs::exists(registry.home.configHome() / name)) << name;
    for (const auto& name : test.configKept) EXPECT_TRUE(fs::exists(registry.home.configHome() / name)) << name;
    EXPECT_EQ(registry.defaultAsOthersSeeIt("model/stl"), test.stlDefault + " " + test.stlDefault);
    EXPECT_EQ(registry.defaultAsOthersSeeIt("model/step"), test.stepDefault + " " + test.stepDefault);
    for (const auto& text : test.settingsHold) EXPECT_NE(registry.settings().find(text), std::string::npos) << text;
    EXPECT_TRUE(!test.settingsGone || registry.settings().empty()) << registry.settings();
  }
}

// The user's file changes only in the entries for the type: comments, spacing and other
// entries stay, a link stays a link (our settings' too), and a file GLib cannot parse is never written.
TEST(AssociationSwitches, ChangesOnlyOurEntriesInTheUsersList) {
  const std::string commented =
      "# my dotfiles\n[Default Applications]\n# pdf in evince\napplication/pdf = evince.desktop\n"
      "model/stl=other-viewer.desktop\n\n[Added Associations]\nimage/png=eog.desktop;\n";
  const std::string claimed =
      "# my dotfiles\n[Default Applications]\n# pdf in evince\napplication/pdf = evince.desktop\n"
      "model/stl=com.vexmoor.3DViewer.desktop\n\n[Added Associations]\nimage/png=eog.desktop;\n"
      "model/stl=com.vexmoor.3DViewer.desktop;\n";
  const std::string broken = "[Default Applications\nmodel/stl=other-viewer.desktop\n# mine\n";
  const std::vector<std::tuple<std::string, std::string, bool, std::string, std::string, std::string>> cases{
      // name, starting text (none when empty), behind a link, desktop, output, on standard error
      {"comments and spacing", commented, false, "", "stl: claimed\n", ""},
      {"a link into a dotfiles folder", commented, true, "", "stl: claimed\n", ""},
      {"unparsable", broken, false, "", "stl: refused\n", "could not be read"},
      {"a desktop's own list overrides the user's", commented, false, "GNOME", "stl: refused\n",
       "gnome-mimeapps.list names other-viewer.desktop"},
      {"a desktop's own list, and the user has none", "", false, "GNOME", "stl: refused\n", "gnome-mimeapps.list"},
  };
  for (const auto& [name, start, linked, desktop, output, says] : cases) {
    SCOPED_TRACE(name);
    Registry registry;
    writeText(registry.home.root() / "config-dirs/mimeapps.list", stlToOther);
    auto list = registry.home.configHome() / "mimeapps.list";
    auto file = linked ? registry.home.root() / "dotfiles/mimeapps.list" : list;
    fs::remove(list);
    if (!start.empty()) {
      writeText(file, start);
      fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    }
    if (!desktop.empty()) {
      writeText(registry.home.configHome() / "gnome-mimeapps.list", stlToOther);
      registry.environment.push_back("XDG_CURRENT_DESKTOP=" + desktop);
    }
    const auto& after = output == "stl: claimed\n" ? claimed : start;
    auto settings = registry.home.configHome() / "Vexmoor/3DViewer.conf";
    if (linked) {
      fs::create_symlink("../../dotfiles/mimeapps.list", list);
      writeText(registry.home.root() / "dotfiles/3DViewer.conf", "[General]\nMine=1\n");
      fs::create_directories(settings.parent_path());
      fs::create_symlink("../../../dotfiles/3DViewer.conf", settings);
    }
    auto result = registry.viewer({"--register", "stl"});
    EXPECT_EQ(result.out, output);
    EXPECT_NE(result.err.find(says), std::string::npos) << result.err;
    EXPECT_EQ(result.err.empty(), says.empty()) << result.err;
    EXPECT_EQ(fs::exists(file), !start.empty());
    EXPECT_EQ(readText(file), after);
    EXPECT_EQ(fs::is_symlink(list), linked);
    EXPECT_EQ(fs::is_symlink(settings), linked);
    if (linked) {
      EXPECT_EQ(registry.settings(), "[General]\nAssociatedExtensions=stl\nMine=1\nPriorHandler.stl=other-viewer\n");
    }
    if (start.empty()) continue;
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  }
}

// Parallel runs each change the list of what we claimed: none may undo another's change, not
// even a claim the desktop overrides, whose list is put back as it was. In a fresh home they
// also all register us, and the types of our own MIME package must be known to each.
TEST(AssociationSwitches, ParallelClaimsAreAllKept) {
  const std::vector<std::string> extensions{"skp", "dwg", "step", "iges", "glb", "gltf", "obj", "dxf",
                                            "ifc", "ply", "3ds",  "max",  "fbx", "3mf",  "dae", "wrl"};
  for (std::string home : {"after a first run", "in a fresh home", "with lock files that cannot be opened",
                           "beside a claim the desktop overrides"}) {
    SCOPED_TRACE(home);
    Registry registry;
    if (home == "after a first run") registry.viewer({"--status"});
    if (home == "with lock files that cannot be opened") {
      for (const char* lock : {"3DViewer.lock", "mimeapps.lock"}) {
        fs::create_directories(registry.home.configHome() / "Vexmoor" / lock);
      }
    }
    std::future<ProgramResult> overridden;
    if (home == "beside a claim the desktop overrides") {
      writeText(registry.home.configHome() / "test-mimeapps.list",
                "[Default Applications]\nmodel/stl=other-viewer.desktop\n");
      registry.environment.push_back("XDG_CURRENT_DESKTOP=TEST");
      overridden = std::async(std::launch::async, [&] { return registry.viewer({"--register", "stl"}); });
      // The others start while it waits for the desktop to follow its change.
      for (int wait = 0;
           wait < 1000 && readText(registry.home.configHome() / "mimeapps.list").find(ours) == std::string::npos;
           ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    std::vector<std::future<ProgramResult>> runs;
    for (const auto& extension : extensions) {
      runs.push_back(std::async(std::launch::async, [&, extension] {
        return registry.viewer({"--register", extension});
      }));
    }
    if (overridden.valid()) {
      EXPECT_EQ(overridden.get().out, "stl: refused\n");
    }
    for (size_t at = 0; at < runs.size(); ++at) EXPECT_EQ(runs[at].get().out, extensions[at] + ": claimed\n");
    auto report = nlohmann::json::parse(registry.viewer({"--status"}).out);
    for (const auto& extension : extensions) {
      EXPECT_NE(registry.settings().find(extension), std::string::npos) << extension;
      for (const auto& type : report["types"]) {
        if (type["extension"] == extension) {
          EXPECT_EQ(type["handler"], "com.vexmoor.3DViewer") << extension;
        }
      }
    }
  }
}

// Run from a folder whose name the desktop entry format must escape: the entry is valid and
// starts this very executable; a path no entry can hold is not registered, and still reported.
TEST(AssociationSwitches, RegistersItselfFromAnyFolder) {
  const std::vector<std::tuple<std::string, bool, std::string>> folders{// folder, registers, as --status reports it
                                                                        {"my models", true, "my models"},
                                                                        {"50%done", false, "50%done"},
                                                                        {"a=b%c", false, "a=b%c"},
                                                                        {"a=b c", true, "a=b c"},
                                                                        {"say \"hi\"", true, "say \"hi\""},
                                                                        {"cost$HOME`x`", true, "cost$HOME`x`"},
                                                                        {"back\\slash", true, "back\\slash"},
                                                                        {"line\nbreak", false, "line\nbreak"},
                                                                        {"latin1-\xe9", false, "latin1-\xef\xbf\xbd"}};
  for (const auto& [folder, registers, reported] : folders) {
    SCOPED_TRACE(folder);
    Registry registry;
    auto executable = registry.home.root() / folder / "vexmoor-3dviewer";
    fs::create_directories(executable.parent_path());
    auto entry = registry.home.dataHome() / "applications/com.vexmoor.3DViewer.desktop";
    // Another build, since moved or removed, left its entry: the one that runs now replaces it.
    if (registers) writeText(entry, "[Desktop Entry]\nType=Application\nName=V\nExec=/gone/vexmoor-3dviewer %f\n");
    fs::copy_file(executablePath(), executable);
    fs::copy_file(fs::path(executablePath()).parent_path() / "document-types.json",
                  executable.parent_path() / "document-types.json");
    // The user's explicit choice opens VRML, even where no entry lists the type (unregistered).
    writeText(registry.home.configHome() / "mimeapps.list", stlToOther + "model/vrml=other-viewer.desktop\n");
    auto status = runProgram({executable.string(), "--status"}, registry.environment);
    auto report = nlohmann::json::parse(status.out);
    std::string vrmlHandler;
    for (const auto& type : report["types"]) vrmlHandler += type["extension"] == "wrl" ? type["handler"].dump() : "";
    EXPECT_EQ(vrmlHandler, "\"other-viewer\"");
    EXPECT_EQ(report["bundlePath"], (registry.home.root() / reported / "vexmoor-3dviewer").string());
    EXPECT_EQ(fs::exists(entry), registers);
    EXPECT_EQ(status.err.empty(), registers) << status.err;
    if (!registers) continue;
    auto validation = runProgram({"/usr/bin/desktop-file-validate", entry.string()}, registry.environment);
    EXPECT_EQ(validation.out + validation.err, "");
    // The entry must start the executable by its exact path with the file, and never run the
    // file (on a FAT stick every file is executable).
    auto marker = registry.home.root() / "started";
    auto model = registry.home.root() / "my model.stl";
    fs::remove(executable);
    writeText(executable, "#!/bin/sh\nprintf '%s|' \"$0\" \"$@\" > \"$STARTED\"\n");
    writeText(model, "#!/bin/sh\nprintf 'the model ran' > \"$STARTED\"\n");
    for (const auto& program : {executable, model}) fs::permissions(program, fs::perms::owner_all);
    auto environment = registry.environment;
    environment.push_back("STARTED=" + marker.string());
    runProgram({"/usr/bin/gio", "launch", entry.string(), model.string()}, environment);
    for (int wait = 0; wait < 100 && readText(marker).empty(); ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(readText(marker), executable.string() + "|" + model.string() + "|");
  }
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

  for (const auto& lone : {"--register", "--unregister"}) {
    auto missing = registry.viewer({lone});
    EXPECT_EQ(missing.exitStatus, 2);
    EXPECT_EQ(missing.out + missing.err, "");
  }

  // A run stopped while it holds the lock holds the others up for a while only, and they say so.
  FileLock stalled(registry.home.configHome() / "Vexmoor/3DViewer.lock");
  auto waited = registry.viewer({"--status"});
  EXPECT_EQ(waited.out, result.out);
  EXPECT_NE(waited.err.find("for too long"), std::string::npos) << waited.err;
}

// --viewer, then the user's settings, then the system's; an unusable value is named on
// standard error and the next one counts.
TEST(AssociationSwitches, StatusNamesTheViewerAndWhereItWasChosen) {
  struct Row {
    std::vector<std::string> arguments;
    std::string user, system, inUse, source, says;
  };
  const std::string systemFile = "system settings (", hosted = "https://viewer.example/v";
  const std::vector<Row> rows{
      {{}, "", "", "", "default", ""},
      {{}, "builtin", hosted, "builtin", "user settings", ""},
      {{}, "", "builtin", "builtin", systemFile, ""},
      {{}, "builtin", "FIFO", "builtin", "user settings", ""},  // it would hold every start
      {{}, "javascript:alert(1)", hosted, hosted, systemFile, "\"javascript:alert(1)\" from user settings"},
      {{"--viewer", "builtin"}, hosted, "", "builtin", "--viewer", ""},
      // Asked for by name for this launch, a viewer that cannot be used is an error.
      {{"--viewer=http://example.com/v"}, "builtin", "", "", "", "--viewer takes builtin"},
  };
  for (const auto& row : rows) {
    Registry registry;
    SCOPED_TRACE(row.user + " | " + row.system);
    if (!row.user.empty())
      writeText(registry.home.configHome() / "Vexmoor/3DViewer.conf", "[General]\nViewerUrl=" + row.user + "\n");
    auto systemSettings = registry.home.root() / "config-dirs/Vexmoor/3DViewer.conf";
    if (row.system == "FIFO") {
      fs::create_directories(systemSettings.parent_path());
      ASSERT_EQ(mkfifo(systemSettings.c_str(), 0644), 0);
    } else if (!row.system.empty()) {
      writeText(systemSettings, "[General]\nViewerUrl=" + row.system + "\n");
    }
    auto arguments = row.arguments;
    arguments.push_back("--status");
    auto result = registry.viewer(arguments);
    if (row.source.empty()) {
      EXPECT_EQ(result.exitStatus, 2);
      EXPECT_EQ(result.out, "");
      EXPECT_NE(result.err.find(row.says), std::string::npos) << result.err;
      continue;
    }
    auto viewer = nlohmann::json::parse(result.out)["viewer"];
    if (!row.inUse.empty()) {
      EXPECT_EQ(viewer["inUse"], row.inUse);
    }
    EXPECT_TRUE(viewer["source"].get<std::string>().starts_with(row.source)) << viewer.dump();
    EXPECT_TRUE(result.err.find(row.says) != std::string::npos && result.err.empty() == row.says.empty()) << result.err;
  }
}
