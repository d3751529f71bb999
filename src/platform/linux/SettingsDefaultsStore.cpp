#include "SettingsDefaultsStore.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "FileLock.h"
#include "UniqueFd.h"

namespace fs = std::filesystem;

namespace {

QString qt(const std::string& text) { return QString::fromStdString(text); }

std::optional<std::string> stringOf(const QVariant& value) {
  if (!value.isValid() || value.typeId() != QMetaType::QString) return std::nullopt;
  return value.toString().toStdString();
}

// The user's file, where QSettings keeps it, worked out once per process so that a write does
// not read the whole file just to learn its name. Every QSettings object here is made from
// this path, never from the organisation's name: those read the administrator's files in
// XDG_CONFIG_DIRS as fallbacks, and one that is a FIFO would hold every start.
const fs::path& settingsFile() {
  static const fs::path file =
      QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString() + "/Vexmoor/3DViewer.conf";
  return file;
}

// A link is followed, so the change lands in the file the user keeps. A link to nothing
// gives nothing: where the user keeps the file is unknown, and a plain file must not replace it.
std::optional<fs::path> followed(const fs::path& file) {
  std::error_code error;
  if (!fs::is_symlink(file, error)) return file;
  auto target = fs::canonical(file, error);
  if (error) return std::nullopt;
  return target;
}

// A run killed between the copy and the rename leaves its copy beside the file, with the
// lock and temporary file QSettings made for it. A live run's copy is never a minute old; the
// copies' own prefix keeps a file of the user's beside the settings out of reach.
constexpr const char* draftInfix = ".draft-";

void removeLeftovers(const fs::path& file) {
  const auto prefix = file.filename().string() + draftInfix;
  const auto limit = fs::file_time_type::clock::now() - std::chrono::minutes(1);
  std::error_code error;
  for (fs::directory_iterator entry(file.parent_path(), error), end; !error && entry != end; entry.increment(error)) {
    std::error_code ignored;
    if (entry->path().filename().string().rfind(prefix, 0) == 0 && entry->is_regular_file(ignored) &&
        entry->last_write_time(ignored) < limit) {
      fs::remove(entry->path(), ignored);
    }
  }
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
bool write(const std::function<void(QSettings&)>& change) {
  const auto& file = settingsFile();
  FileLock lock(SettingsDefaultsStore::lockFile());
  const auto target = followed(file);
  if (lock.timedOut() || !target) return false;
  removeLeftovers(*target);
  waitForATimeOfItsOwn(*target);
  std::string draft = target->string() + draftInfix + "XXXXXX";
  UniqueFd created(::mkstemp(draft.data()));
  if (!created.valid()) return false;
  // A file that is there but cannot be copied must not be replaced by the change alone.
  std::error_code error;
  bool written =
      !fs::exists(*target, error) ? !error : fs::copy_file(*target, draft, fs::copy_options::overwrite_existing, error);
  if (written) {
    QSettings store(qt(draft), QSettings::IniFormat);
    change(store);
    store.sync();
    written = store.status() != QSettings::AccessError;
  }
  if (written) {
    fs::rename(draft, *target, error);
    written = !error;
  }
  if (!written) fs::remove(draft, error);
  return written;
}

}  // namespace

fs::path SettingsDefaultsStore::lockFile() { return fs::path(settingsFile()).replace_extension(".lock"); }

// The user's own file alone: what the system-wide file holds is the administrator's, read
// apart where it counts, and never taken for the user's choice.
std::optional<std::string> SettingsDefaultsStore::string(const std::string& key) const {
  QSettings store(qt(settingsFile().string()), QSettings::IniFormat);
  return stringOf(store.value(qt(key)));
}

bool SettingsDefaultsStore::setString(const std::string& key, const std::string& value) {
  return write([&](QSettings& store) { store.setValue(qt(key), qt(value)); });
}

bool SettingsDefaultsStore::update(const std::string& key,
                                   const std::function<std::string(const std::optional<std::string>&)>& change) {
  return write([&](QSettings& store) { store.setValue(qt(key), qt(change(stringOf(store.value(qt(key)))))); });
}

void SettingsDefaultsStore::remove(const std::string& key) {
  write([&](QSettings& store) { store.remove(qt(key)); });
}

void SettingsDefaultsStore::removeAll() {
  write([](QSettings& store) { store.clear(); });
}
