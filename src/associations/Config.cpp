#include <QString>

#include "Associations.h"

namespace Config {

namespace {

std::string trimmed(const std::string& text) {
  auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::set<std::string> getList(const DefaultsStore& defaults, const std::string& key) {
  std::string text = defaults.string(key).value_or("");
  std::set<std::string> values;
  for (size_t start = 0; start <= text.size();) {
    size_t end = std::min(text.find(',', start), text.size());
    std::string piece = Associations::lowercased(trimmed(text.substr(start, end - start)));
    if (!piece.empty()) values.insert(piece);
    start = end + 1;
  }
  return values;
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
