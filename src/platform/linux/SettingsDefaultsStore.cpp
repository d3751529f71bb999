#include "SettingsDefaultsStore.h"

#include <QSettings>
#include <QString>
#include <filesystem>

#include "FileLock.h"

namespace {

QSettings settings() { return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Vexmoor", "3DViewer"); }

QString qt(const std::string& text) { return QString::fromStdString(text); }

std::optional<std::string> stringOf(const QVariant& value) {
  if (!value.isValid() || value.typeId() != QMetaType::QString) return std::nullopt;
  return value.toString().toStdString();
}

}  // namespace

std::optional<std::string> SettingsDefaultsStore::string(const std::string& key) const {
  return stringOf(settings().value(qt(key)));
}

void SettingsDefaultsStore::setString(const std::string& key, const std::string& value) {
  auto store = settings();
  store.setValue(qt(key), qt(value));
  store.sync();
}

void SettingsDefaultsStore::update(const std::string& key,
                                   const std::function<std::string(const std::optional<std::string>&)>& change) {
  // Not QSettings' own "3DViewer.conf.lock", which it takes inside sync().
  FileLock lock(std::filesystem::path(settings().fileName().toStdString()).replace_extension(".lock"));
  auto store = settings();
  store.sync();
  store.setValue(qt(key), qt(change(stringOf(store.value(qt(key))))));
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
