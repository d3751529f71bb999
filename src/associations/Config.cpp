#include <QString>

#include "Associations.h"

namespace Config {

namespace {

std::set<std::string> parsed(const std::optional<std::string>& value) {
  auto pieces = Associations::splitList(value.value_or(""));
  return {pieces.begin(), pieces.end()};
}

// Sorted by code point of the composed form: byte order of UTF-8 is code point order.
template <typename Values>
std::string joined(const Values& values) {
  std::set<std::string> sorted;
  for (const auto& value : values) {
    sorted.insert(QString::fromStdString(value).toLower().normalized(QString::NormalizationForm_C).toStdString());
  }
  std::string text;
  for (auto value = sorted.begin(); value != sorted.end(); ++value) {
    text += (value == sorted.begin() ? "" : ",") + *value;
  }
  return text;
}

}  // namespace

std::set<std::string> getList(const DefaultsStore& defaults, const std::string& key) {
  return parsed(defaults.string(key));
}

void setList(DefaultsStore& defaults, const std::string& key, const std::vector<std::string>& values) {
  defaults.setString(key, joined(values));
}

bool updateList(DefaultsStore& defaults, const std::string& key,
                const std::function<void(std::set<std::string>&)>& change) {
  return defaults.update(key, [&](const std::optional<std::string>& value) {
    auto list = parsed(value);
    change(list);
    return joined(list);
  });
}

}  // namespace Config
