#include "SettingsDefaultsStore.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <QSettings>
#include <QString>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "FileLock.h"
#include "UniqueFd.h"

namespace fs = std::filesystem;

namespace {

QSettings settings() { return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Vexmoor", "3DViewer"); }

QString qt(const std::string& text) { return QString::fromStdString(text); }

std::optional<std::string> stringOf(const QVariant& value) {
  if (!value.isValid() || value.typeId() != QMetaType::QString) return std::nullopt;
  return value.toString().toStdString();
}

// Where QSettings keeps the file; like QSettings, worked out once per process, so that a
// write does not read the whole file just to learn its name.
const fs::path& settingsFile() {
  static const fs::path file = settings().fileName().toStdString();
  return file;
}

// A link is followed, so the change lands in the file the user keeps.
fs::path followed(const fs::path& file) {
  std::error_code error;
  auto target = fs::canonical(file, error);
  return error ? file : target;
}

long long milliseconds(const timespec& time) { return time.tv_sec * 1000LL + time.tv_nsec / 1'000'000; }

// A process re-reads the file only when its size or its time, to the millisecond, differs
// from the copy QSettings holds. Waiting until the file system's clock has passed the current
// version's time gives the next version a time of its own, so no reader takes its old copy
// for it. The wait is one tick of that clock at most.
void waitForATimeOfItsOwn(const fs::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return;
  for (int attempt = 0; attempt < 100; ++attempt) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    if (milliseconds(now) > milliseconds(info.st_mtim)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Every change is a read-modify-write under our lock, which is not QSettings' own
// "3DViewer.conf.lock" (QSettings takes that one inside sync()). The change is made to a
// fresh copy under a name no QSettings object has read, which then replaces the file: a copy
// QSettings held of the file itself could miss a parallel run's write and write it back.
void write(const std::function<void(QSettings&)>& change) {
  const auto& file = settingsFile();
  FileLock lock(SettingsDefaultsStore::lockFile());
  const auto target = followed(file);
  waitForATimeOfItsOwn(target);
  std::string draft = target.string() + ".XXXXXX";
  UniqueFd created(::mkstemp(draft.data()));
  if (!created.valid()) return;
  std::error_code error;
  fs::copy_file(target, draft, fs::copy_options::overwrite_existing, error);
  bool written = false;
  {
    QSettings store(qt(draft), QSettings::IniFormat);
    change(store);
    store.sync();
    written = store.status() != QSettings::AccessError;
  }
  if (written) fs::rename(draft, target, error);
  if (!written || error) fs::remove(draft, error);
}

}  // namespace

fs::path SettingsDefaultsStore::lockFile() { return fs::path(settingsFile()).replace_extension(".lock"); }

std::optional<std::string> SettingsDefaultsStore::string(const std::string& key) const {
  return stringOf(settings().value(qt(key)));
}

void SettingsDefaultsStore::setString(const std::string& key, const std::string& value) {
  write([&](QSettings& store) { store.setValue(qt(key), qt(value)); });
}

void SettingsDefaultsStore::update(const std::string& key,
                                   const std::function<std::string(const std::optional<std::string>&)>& change) {
  write([&](QSettings& store) { store.setValue(qt(key), qt(change(stringOf(store.value(qt(key)))))); });
}

void SettingsDefaultsStore::remove(const std::string& key) {
  write([&](QSettings& store) { store.remove(qt(key)); });
}

void SettingsDefaultsStore::removeAll() {
  write([](QSettings& store) { store.clear(); });
}
