#include <QString>

#include "Associations.h"

namespace Config {

std::set<std::string> getList(const DefaultsStore& defaults, const std::string& key) {
  auto pieces = Associations::splitList(defaults.string(key).value_or(""));
  return {pieces.begin(), pieces.end()};
}

// Sorted by code point of the composed form: byte order of UTF-8 is code point order.
void setList(DefaultsStore& defaults, const std::string& key, const std::vector<std::string>& values) {
  std::set<std::string> sorted;
  for (const auto& value : values) {
    sorted.insert(QString::fromStdString(value).toLower().normalized(QString::NormalizationForm_C).toStdString());
  }
  std::string joined;
  for (auto value = sorted.begin(); value != sorted.end(); ++value) {
    joined += (value == sorted.begin() ? "" : ",") + *value;
  }
  defaults.setString(key, joined);
}

}  // namespace Config
