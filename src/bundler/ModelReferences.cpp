#include <zlib.h>

#include <QByteArray>
#include <QXmlStreamReader>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "CompanionBundler.h"

namespace CompanionBundler {

namespace {

constexpr size_t maxReadBytes = 64u << 20;  // what names companions sits in the first part of a model
// Each reader stops one past this, so that a file naming more can be told apart.
constexpr size_t maxReferences = 10000;

bool roomFor(const std::vector<std::string>& names) { return names.size() <= maxReferences; }

// The file's first bytes, gzip-compressed ones (.wrz) inflated.
std::string head(const std::string& path) {
  gzFile file = gzopen(path.c_str(), "rb");
  if (!file) return {};
  std::string text;
  char buffer[1 << 16];
  int read = 0;
  while (text.size() < maxReadBytes && (read = gzread(file, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(read));
  }
  gzclose(file);
  return text;
}

std::string percentDecoded(const std::string& text) {
  std::string result;
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '%' && at + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[at + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[at + 2]))) {
      result += static_cast<char>(std::stoi(text.substr(at + 1, 2), nullptr, 16));
      at += 2;
    } else {
      result += text[at];
    }
  }
  return result;
}

// A self-contained glTF (buffers and images as data: addresses) names no file; finding that
// out must not cost a parse of megabytes of base64.
bool namesAnyFile(const std::string& gltf) {
  for (size_t at = gltf.find("\"uri\""); at != std::string::npos; at = gltf.find("\"uri\"", at + 5)) {
    size_t colon = gltf.find(':', at + 5);
    size_t value = colon == std::string::npos ? colon : gltf.find('"', colon + 1);
    if (value != std::string::npos && gltf.compare(value + 1, 5, "data:") != 0) return true;
  }
  return false;
}

std::vector<std::string> gltfReferences(const std::string& text) {
  std::vector<std::string> names;
  if (!namesAnyFile(text)) return names;
  auto document = nlohmann::json::parse(text, nullptr, false);
  if (!document.is_object()) return names;
  for (const char* list : {"buffers", "images"}) {
    auto entries = document.find(list);
    if (entries == document.end() || !entries->is_array()) continue;
    for (const auto& entry : *entries) {
      if (!roomFor(names)) break;
      if (!entry.is_object() || !entry.contains("uri") || !entry["uri"].is_string()) continue;
      names.push_back(percentDecoded(entry["uri"].get<std::string>()));
    }
  }
  return names;
}

std::string trimmed(const std::string& text) {
  auto first = text.find_first_not_of(" \t\r\"");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\"") - first + 1);
}

bool isOptionValue(const std::string& word) {
  char* end = nullptr;
  std::strtod(word.c_str(), &end);
  return (end && *end == '\0') || word == "on" || word == "off";
}

// The file name after a map's options ("-bm 0.5", "-s 1 1 1", "-clamp on", "-type sphere");
// it may hold blanks.
std::string afterOptions(const std::string& rest) {
  std::istringstream in(rest);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  size_t at = 0;
  while (at < words.size() && words[at].size() > 1 && words[at][0] == '-' &&
         std::isalpha(static_cast<unsigned char>(words[at][1]))) {
    // These two take one word that is not a number: a channel, a kind of reflection map.
    bool wordValue = words[at] == "-imfchan" || words[at] == "-type";
    ++at;
    if (wordValue && at < words.size()) ++at;
    for (; at < words.size() && isOptionValue(words[at]);) ++at;
  }
  std::string name;
  for (; at < words.size(); ++at) name += (name.empty() ? "" : " ") + words[at];
  return name;
}

// The `mtllib` files of an OBJ model, or the texture maps of an MTL file.
std::vector<std::string> wavefrontReferences(const std::string& text, bool materialLibrary) {
  static const std::set<std::string> mapKeys{"map_ka", "map_kd", "map_ks", "map_ke", "map_ns", "map_d",  "map_bump",
                                             "bump",   "norm",   "disp",   "refl",   "decal",  "map_pr", "map_pm"};
  std::vector<std::string> names;
  std::istringstream lines(text);
  for (std::string line; roomFor(names) && std::getline(lines, line);) {
    std::istringstream words(line);
    std::string key;
    words >> key;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (materialLibrary ? !mapKeys.count(key) : key != "mtllib") continue;
    std::string rest;
    std::getline(words, rest);
    auto name = materialLibrary ? afterOptions(rest) : trimmed(rest);
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

std::vector<std::string> colladaReferences(const std::string& text) {
  std::vector<std::string> names;
  QXmlStreamReader xml(QByteArray::fromRawData(text.data(), static_cast<int>(text.size())));
  bool inImage = false;
  while (roomFor(names) && !xml.atEnd() && !xml.hasError()) {
    xml.readNext();
    if (xml.isStartElement() && xml.name() == u"image") inImage = true;
    if (xml.isEndElement() && xml.name() == u"image") inImage = false;
    if (inImage && xml.isStartElement() && (xml.name() == u"init_from" || xml.name() == u"ref")) {
      auto value = trimmed(xml.readElementText(QXmlStreamReader::IncludeChildElements).toStdString());
      if (!value.empty()) names.push_back(percentDecoded(value));
    }
  }
  return names;
}

size_t skipBlanks(const std::string& text, size_t at) {
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  return at;
}

bool isWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The strings of every `url` field (Inline, ImageTexture): one string or a list of them.
std::vector<std::string> vrmlReferences(const std::string& text) {
  std::vector<std::string> names;
  for (size_t at = text.find("url"); roomFor(names) && at != std::string::npos; at = text.find("url", at + 3)) {
    if ((at > 0 && isWordChar(text[at - 1])) || (at + 3 < text.size() && isWordChar(text[at + 3]))) continue;
    size_t next = skipBlanks(text, at + 3);
    bool list = next < text.size() && text[next] == '[';
    if (list) next = skipBlanks(text, next + 1);
    while (next < text.size() && text[next] == '"') {
      size_t close = text.find('"', next + 1);
      if (close == std::string::npos) break;
      names.push_back(percentDecoded(text.substr(next + 1, close - next - 1)));
      next = skipBlanks(text, close + 1);
      if (!list) break;
      if (next < text.size() && text[next] == ',') next = skipBlanks(text, next + 1);
    }
  }
  return names;
}

// The files of DOCUMENT_FILE entities: the parts of an assembly kept in files of their own.
std::vector<std::string> stepReferences(const std::string& text) {
  const std::string entity = "DOCUMENT_FILE";
  std::vector<std::string> names;
  for (size_t at = text.find(entity); roomFor(names) && at != std::string::npos;
       at = text.find(entity, at + entity.size())) {
    size_t next = skipBlanks(text, at + entity.size());
    if (next >= text.size() || text[next] != '(') continue;
    next = skipBlanks(text, next + 1);
    if (next >= text.size() || text[next] != '\'') continue;
    std::string name;
    // A quote inside a STEP string is written twice.
    for (++next; next < text.size(); ++next) {
      if (text[next] != '\'') {
        name += text[next];
      } else if (next + 1 < text.size() && text[next + 1] == '\'') {
        name += '\'';
        ++next;
      } else {
        break;
      }
    }
    names.push_back(name);
  }
  return names;
}

}  // namespace

bool namesCompanionFiles(const std::string& path) {
  static const std::set<std::string> extensions{"gltf", "obj", "mtl", "dae", "wrl", "vrml", "wrz", "step", "stp"};
  return extensions.count(lowerExtension(std::filesystem::path(path).filename())) > 0;
}

namespace {

std::vector<std::string> referencesIn(const std::string& extension, const std::string& text) {
  if (extension == "gltf") return gltfReferences(text);
  if (extension == "obj" || extension == "mtl") return wavefrontReferences(text, extension == "mtl");
  if (extension == "dae") return colladaReferences(text);
  if (extension == "step" || extension == "stp") return stepReferences(text);
  return vrmlReferences(text);
}

}  // namespace

std::vector<std::string> referencedFiles(const std::string& path) {
  if (!namesCompanionFiles(path)) return {};
  auto names = referencesIn(lowerExtension(std::filesystem::path(path).filename()), head(path));
  if (names.size() > maxReferences) {
    names.resize(maxReferences);
    std::cerr << "vexmoor-3dviewer: " << path << " names more than " << maxReferences
              << " files; only the first of them travel with the model\n";
  }
  return names;
}

}  // namespace CompanionBundler
