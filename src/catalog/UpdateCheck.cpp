#include "UpdateCheck.h"

#include <QDateTime>
#include <QRegularExpression>
#include <set>

#include "Associations.h"
#include "Catalog.h"

namespace UpdateCheck {

namespace {

using namespace std::chrono_literals;
constexpr auto checkInterval = 24h;

// Internet date-time in UTC with whole seconds: 2026-12-05T09:55:39Z.
std::optional<std::chrono::system_clock::time_point> parseTimestamp(const std::string& text) {
  static const QRegularExpression form(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$)");
  QString value = QString::fromStdString(text);
  if (!form.match(value).hasMatch()) return std::nullopt;
  QDateTime time = QDateTime::fromString(value, Qt::ISODate);
  if (!time.isValid()) return std::nullopt;
  return std::chrono::system_clock::time_point(std::chrono::seconds(time.toSecsSinceEpoch()));
}

std::string timestamp(std::chrono::system_clock::time_point time) {
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
  return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate).toStdString();
}

bool checkedRecently(const DefaultsStore& defaults, std::chrono::system_clock::time_point now) {
  auto last = parseTimestamp(defaults.string(lastCheckKey).value_or(""));
  // A time more than a day ahead comes from a clock that was wrong once: it would switch the
  // check off until then.
  return last && now - *last < checkInterval && *last - now <= checkInterval;
}

}  // namespace

std::optional<std::vector<std::string>> findFormatsNeedingUpdate(DefaultsStore& defaults,
                                                                 const std::vector<std::string>& declaredExtensions,
                                                                 std::chrono::system_clock::time_point now) {
  if (Config::getList(defaults, Config::associatedExtensionsKey).empty()) return std::nullopt;
  if (checkedRecently(defaults, now)) return std::nullopt;
  auto catalog = FormatCatalog::tryFetch(defaults);
  if (!catalog) return std::nullopt;
  defaults.setString(lastCheckKey, timestamp(now));

  std::set<std::string> declared(declaredExtensions.begin(), declaredExtensions.end());
  std::vector<std::string> missing;
  std::string pending;
  for (const auto& format : catalog->formats) {
    bool openable = false;
    for (const auto& extension : format.extensions) {
      openable = openable || declared.count(Associations::lowercased(extension)) > 0;
    }
    if (openable) continue;
    missing.push_back(format.name);
    pending += (pending.empty() ? "" : ", ") + format.name;
  }
  Config::setList(defaults, knownExtensionsKey, catalog->allExtensions());
  defaults.setString(pendingKey, pending);
  if (missing.empty()) return std::nullopt;
  return missing;
}

}  // namespace UpdateCheck
