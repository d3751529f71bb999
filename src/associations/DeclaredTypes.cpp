#include <QString>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Associations.h"

namespace Associations {

namespace {

using nlohmann::json;

// Strings only: one element of another kind spoils the list.
std::optional<std::vector<std::string>> stringArray(const json& entry, const char* key) {
  auto found = entry.find(key);
  if (found == entry.end() || !found->is_array()) return std::nullopt;
  std::vector<std::string> strings;
  for (const auto& element : *found) {
    if (!element.is_string()) return std::nullopt;
    strings.push_back(element.get<std::string>());
  }
  return strings;
}

}  // namespace

std::string lowercased(const std::string& text) { return QString::fromStdString(text).toLower().toStdString(); }

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> pieces;
  for (size_t start = 0; start <= text.size();) {
    size_t end = std::min(text.find(',', start), text.size());
    std::string piece = text.substr(start, end - start);
    auto first = piece.find_first_not_of(" \t");
    if (first != std::string::npos) {
      pieces.push_back(lowercased(piece.substr(first, piece.find_last_not_of(" \t") - first + 1)));
    }
    start = end + 1;
  }
  return pieces;
}

std::vector<DeclaredType> parseDeclaration(std::string_view jsonText) {
  auto document = json::parse(jsonText, nullptr, false);
  if (!document.is_object()) return {};
  auto list = document.find("CFBundleDocumentTypes");
  if (list == document.end() || !list->is_array()) return {};
  for (const auto& entry : *list) {
    if (!entry.is_object()) return {};
  }
  std::vector<DeclaredType> types;
  for (const auto& entry : *list) {
    auto extensions = stringArray(entry, "CFBundleTypeExtensions").value_or(std::vector<std::string>{});
    if (extensions.empty()) continue;
    for (auto& extension : extensions) extension = lowercased(extension);
    auto name = entry.find("CFBundleTypeName");
    types.push_back({name != entry.end() && name->is_string() ? name->get<std::string>() : "3D Model",
                     std::move(extensions),
                     stringArray(entry, "LSItemContentTypes").value_or(std::vector<std::string>{})});
  }
  return types;
}

std::vector<std::string> declaredExtensions(const std::vector<DeclaredType>& types) {
  std::vector<std::string> extensions;
  for (const auto& type : types) {
    extensions.insert(extensions.end(), type.extensions.begin(), type.extensions.end());
  }
  return extensions;
}

std::optional<std::string> declaredContentType(const std::vector<DeclaredType>& types, const std::string& extension) {
  std::string wanted = lowercased(extension);
  for (const auto& type : types) {
    for (const auto& declared : type.extensions) {
      if (declared != wanted) continue;
      if (type.contentTypes.empty()) return std::nullopt;
      return type.contentTypes.front();
    }
  }
  return std::nullopt;
}

std::vector<DeclaredType> readDeclaration(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return parseDeclaration(text.str());
}

std::vector<DeclaredType> declaredTypes(const Services& services) { return readDeclaration(services.declarationPath); }

}  // namespace Associations
