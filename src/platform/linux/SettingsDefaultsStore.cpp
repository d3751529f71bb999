#include "SettingsDefaultsStore.h"

#include <QSettings>
#include <QString>

namespace {

QSettings settings() { return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Vexmoor", "3DViewer"); }

QString qt(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

std::optional<std::string> SettingsDefaultsStore::string(const std::string& key) const {
  QVariant value = settings().value(qt(key));
  if (!value.isValid() || value.typeId() != QMetaType::QString) return std::nullopt;
  return value.toString().toStdString();
}

void SettingsDefaultsStore::setString(const std::string& key, const std::string& value) {
  auto store = settings();
  store.setValue(qt(key), qt(value));
  store.sync();
}

void SettingsDefaultsStore::remove(const std::string& key) {
  auto store = settings();
  store.remove(qt(key));
  store.sync();
}

void SettingsDefaultsStore::removeAll() {
  auto store = settings();
  store.clear();
  store.sync();
}
