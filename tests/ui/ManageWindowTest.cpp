// The file types window in this process, on the offscreen platform, against real GIO in the
// test's temporary XDG home, where a fake other application opens STL and OBJ files.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "DesktopRegistration.h"
#include "DesktopServices.h"
#include "ManageWindow.h"
#include "TempHome.h"
#include "UpdateCheck.h"

namespace fs = std::filesystem;
using TestSupport::writeText;

namespace {

fs::path configHome() { return std::getenv("XDG_CONFIG_HOME"); }

struct FakeAlerts : Alerts {
  void show(AlertStyle, const std::string& message, const std::string& informative) override {
    shown += message + "\n" + informative;
  }
  std::string shown;
};

// The application object goes before the process ends, while Qt's own globals still live.
class QtApplication : public testing::Environment {
 public:
  void SetUp() override { application_ = std::make_unique<QApplication>(argc_, argv_); }
  void TearDown() override { application_.reset(); }

 private:
  int argc_ = 1;
  char name_[9] = "ui_tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> application_;
};
[[maybe_unused]] auto* const qtApplication = testing::AddGlobalTestEnvironment(new QtApplication);

class ManageWindowTest : public testing::Test {
 public:
  // GLib reads the applications once per process: everything is in place before it does.
  static void SetUpTestSuite() {
    for (const auto& [id, name] : {std::pair{"other-viewer", "Other Viewer.app"}, {"third-viewer", "Third"}}) {
      writeText(fs::path(std::getenv("XDG_DATA_HOME")) / "applications" / (std::string(id) + ".desktop"),
                "[Desktop Entry]\nType=Application\nName=" + std::string(name) +
                    "\nExec=/bin/true %f\nMimeType=model/stl;model/obj;\n");
    }
    writeText(fs::path(std::getenv("XDG_CONFIG_DIRS")) / "mimeapps.list",
              "[Default Applications]\nmodel/stl=other-viewer.desktop\nmodel/obj=other-viewer.desktop\n");
    DesktopRegistration::ensureRegistered();
    writeText(declaration(), R"({"CFBundleDocumentTypes": [
        {"CFBundleTypeName": "Mesh", "CFBundleTypeExtensions": ["stl"]},
        {"CFBundleTypeName": "Wavefront", "CFBundleTypeExtensions": ["obj"]},
        {"CFBundleTypeName": "VRML", "CFBundleTypeExtensions": ["wrl", "vrml", "wrz"]}]})");
  }

  void SetUp() override { defaults.removeAll(); }
  std::unique_ptr<ManageWindow> window(bool setupMode) {
    auto made = std::make_unique<ManageWindow>(
        setupMode, ManageWindow::Services{services, alerts, [this](const std::string& url) { opened = url; },
                                          "https://www.vexmoor.com"});
    made->build();
    made->show();
    return made;
  }

  static std::string rows(const ManageWindow& shown) {
    std::string text;
    for (const auto& [extension, box] : shown.checkboxes()) {
      text += (box->isChecked() ? "[x] " : "[ ] ") + box->text().toStdString() + "\n";
    }
    return text;
  }

  static fs::path declaration() { return fs::temp_directory_path() / "document-types.json"; }
  std::unique_ptr<HandlerRegistry> registry = DesktopServices::handlerRegistry();
  std::unique_ptr<DefaultsStore> settings = DesktopServices::settings();
  DefaultsStore& defaults = *settings;
  Associations::Services services{*registry, defaults, declaration().string(), "com.vexmoor.3DViewer"};
  FakeAlerts alerts;
  std::string opened;
};

}  // namespace

// Setup leaves the other application's types alone; managing follows the registry, not the
// stored list.
TEST_F(ManageWindowTest, RowsFollowTheModeAndTheRegistry) {
  const std::string owned = "   (currently opens in Other Viewer)";
  for (const auto& [setupMode, stored, confirm] : {std::tuple{true, "", "Continue"}, {false, "stl,obj", "Apply"}}) {
    defaults.setString(Config::associatedExtensionsKey, stored);
    auto shown = window(setupMode);
    EXPECT_EQ(rows(*shown), "[ ] Mesh  (.stl)" + owned + "\n[ ] Wavefront  (.obj)" + owned +
                                "\n[x] VRML  (.wrl)\n[x] VRML  (.vrml)\n[x] VRML  (.wrz)\n");
    EXPECT_EQ(shown->confirmButton()->text().toStdString(), confirm);
  }
}

TEST_F(ManageWindowTest, EscapeChangesNothingReturnAppliesAndRefusalsAreReportedInRowOrder) {
  defaults.setString(Config::associatedExtensionsKey, "before");
  auto cancelled = window(false);
  cancelled->uncheckAll();
  QTest::keyClick(cancelled.get(), Qt::Key_Escape);
  EXPECT_EQ(cancelled->result(), QDialog::Rejected);
  EXPECT_EQ(defaults.string(Config::associatedExtensionsKey), "before");

  // A mimeapps.list the desktop cannot parse is never rewritten, so every change is refused.
  writeText(configHome() / "mimeapps.list", "[Default Applications\n");
  auto applied = window(true);
  applied->checkAll();
  QTest::keyClick(applied.get(), Qt::Key_Return);
  fs::remove(configHome() / "mimeapps.list");
  EXPECT_EQ(applied->result(), QDialog::Accepted);
  EXPECT_EQ(alerts.shown,
            "Some file types could not be changed\nYour desktop kept the current application for: .stl, .obj. "
            "You can still open these in the viewer with your file manager's Open With menu.");
  EXPECT_EQ(defaults.string(Config::associatedExtensionsKey), "vrml,wrl,wrz");

  // Settings that cannot be written: no claim, and the alert says why.
  fs::rename(configHome() / "Vexmoor", configHome() / "Vexmoor.aside");
  writeText(configHome() / "Vexmoor", "a file, not a folder");
  alerts.shown.clear();
  auto unsaved = window(true);
  unsaved->checkAll();
  QTest::keyClick(unsaved.get(), Qt::Key_Return);
  fs::remove(configHome() / "Vexmoor");
  fs::rename(configHome() / "Vexmoor.aside", configHome() / "Vexmoor");
  EXPECT_EQ(alerts.shown.rfind("Some file types could not be changed\nYour settings could not be saved", 0), 0u)
      << alerts.shown;
}

// Format names come from a downloaded catalog: shown as text, never as markup.
TEST_F(ManageWindowTest, ABannerOffersTheUpdateWhenFormatsArePending) {
  int plain = window(false)->height();
  defaults.setString(UpdateCheck::pendingKey, "<h1>IFC</h1>, Rhino 3D Model");
  auto shown = window(false);
  EXPECT_EQ(shown->height(), plain + 46);
  auto labels = shown->findChildren<QLabel*>();
  for (auto* text : labels) EXPECT_EQ(text->textFormat(), Qt::PlainText) << text->text().toStdString();
  EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [](auto* l) {
    return l->text().endsWith("left alone; you can still reach the viewer through your file manager's Open With menu.");
  }));
  auto buttons = shown->findChildren<QPushButton*>();
  auto update = std::find_if(buttons.begin(), buttons.end(), [](auto* b) { return b->text() == "Get Update"; });
  ASSERT_NE(update, buttons.end());
  QTest::mouseClick(*update, Qt::LeftButton);
  EXPECT_EQ(opened, "https://www.vexmoor.com/tools/3d-viewer/linux");
}

// Apply gives back what was ours and the user unchecked, and leaves alone an unchecked type
// the user has given to another application since we claimed it.
TEST_F(ManageWindowTest, ApplyGivesBackOnlyWhatWasOursAndUnchecked) {
  ASSERT_TRUE(Associations::claim(services, "stl"));
  ASSERT_TRUE(Associations::claim(services, "obj"));
  ASSERT_TRUE(registry->setDefaultHandler("model/obj", "third-viewer"));
  auto shown = window(false);
  shown->checkboxes().front().second->setChecked(false);
  QTest::keyClick(shown.get(), Qt::Key_Return);
  EXPECT_EQ(registry->defaultHandler("model/stl"), "other-viewer");
  EXPECT_EQ(registry->defaultHandler("model/obj"), "third-viewer");
  fs::remove(configHome() / "mimeapps.list");
}
