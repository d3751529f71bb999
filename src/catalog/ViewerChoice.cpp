#include "ViewerChoice.h"

#include <unistd.h>

#include <QSettings>
#include <QStringList>
#include <filesystem>
#include <ostream>

#include "Catalog.h"
#include "DefaultsStore.h"
#include "Text.h"

namespace FormatCatalog {

namespace {

constexpr size_t shownLength = 200;

// A value is shown on the terminal as text only.
std::string shown(const std::string& value) { return Text::printable(value, shownLength); }

bool isBuiltin(const std::string& value) { return Text::asciiLowercase(value) == builtinViewer; }

}  // namespace

bool isViewerChoice(const std::string& value) { return isBuiltin(value) || isUsableViewerUrl(value); }

std::vector<ViewerSetting> systemViewerSettings(std::ostream& err) {
  std::vector<ViewerSetting> settings;
  QString dirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
  if (dirs.isEmpty()) dirs = "/etc/xdg";
  for (const QString& dir : dirs.split(':', Qt::SkipEmptyParts)) {
    if (!dir.startsWith('/')) continue;  // relative entries are invalid and ignored
    std::string path = dir.toStdString() + "/Vexmoor/3DViewer.conf";
    std::error_code error;
    // A FIFO or a device in its place would hold the start forever.
    if (!std::filesystem::is_regular_file(path, error)) continue;
    if (::access(path.c_str(), R_OK) != 0) {
      err << "vexmoor-3dviewer: the administrator's settings in " << shown(path)
          << " cannot be read; they are ignored\n";
      continue;
    }
    QSettings file(QString::fromStdString(path), QSettings::IniFormat);
    QVariant value = file.value(viewerKey);
    if (!value.isValid()) continue;
    // An unquoted comma makes a list of the value.
    QString text = value.typeId() == QMetaType::QStringList ? value.toStringList().join(',') : value.toString();
    settings.push_back({"system settings (" + path + ")", text.toStdString()});
  }
  return settings;
}

ViewerChoice chooseViewer(const std::vector<ViewerSetting>& settings, const DefaultsStore& defaults,
                          std::ostream& err) {
  auto cached = defaults.string(cacheKey);
  auto catalog = cached ? parse(*cached) : std::nullopt;
  bool fromCatalog = catalog && isUsableViewerUrl(catalog->viewerUrl);
  ViewerChoice fallback{false, viewerUrl(defaults), fromCatalog ? "catalog" : "default"};
  for (const auto& setting : settings) {
    if (isBuiltin(setting.value)) return {true, fallback.url, setting.source};
    if (isUsableViewerUrl(setting.value)) return {false, setting.value, setting.source};
    err << "vexmoor-3dviewer: ViewerUrl \"" << shown(setting.value) << "\" from " << shown(setting.source)
        << " is ignored: use builtin, an https address, or an http address on this computer\n";
  }
  return fallback;
}

}  // namespace FormatCatalog
