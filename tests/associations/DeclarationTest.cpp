#include <gtest/gtest.h>

#include "Associations.h"
#include "DefaultsStore.h"
#include "DesktopServices.h"

using Associations::DeclaredType;

namespace {

std::string typesText(const std::vector<DeclaredType>& types) {
  std::string text;
  for (const auto& type : types) {
    text += type.name + ":";
    for (const auto& extension : type.extensions) text += " " + extension;
    text += " |";
    for (const auto& contentType : type.contentTypes) text += " " + contentType;
    text += "\n";
  }
  return text;
}

}  // namespace

TEST(Declaration, ReadsTheTypesByTheirRules) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {R"({"CFBundleDocumentTypes": [{"CFBundleTypeName": "Mesh", "CFBundleTypeExtensions": ["STL", "ÉX", "*"],
           "LSItemContentTypes": ["Model/STL"]}]})",
       "Mesh: stl éx * | Model/STL\n"},
      {R"({"CFBundleDocumentTypes": [{"CFBundleTypeExtensions": ["obj"], "LSItemContentTypes": "x"},
           {"CFBundleTypeName": "Only types", "LSItemContentTypes": ["a/b"]},
           {"CFBundleTypeName": "One string", "CFBundleTypeExtensions": "ply"},
           {"CFBundleTypeName": 7, "CFBundleTypeExtensions": ["dae", 1]}]})",
       "3D Model: obj |\n"},
      {R"({"CFBundleDocumentTypes": [{"CFBundleTypeExtensions": ["obj"]}, "not a type"]})", ""},
      {R"({"Other": []})", ""},
      {"not json", ""},
  };
  for (const auto& [json, expected] : cases) {
    EXPECT_EQ(typesText(Associations::parseDeclaration(json)), expected) << json;
  }
}

TEST(Declaration, AnswersFromTheFirstTypeThatDeclaresAnExtension) {
  auto types = Associations::parseDeclaration(
      R"({"CFBundleDocumentTypes": [{"CFBundleTypeExtensions": ["stl", "obj"]},
          {"CFBundleTypeExtensions": ["obj"], "LSItemContentTypes": ["model/obj"]},
          {"CFBundleTypeExtensions": ["ply"], "LSItemContentTypes": ["a/ply", "b/ply"]}]})");
  EXPECT_EQ(Associations::declaredExtensions(types), (std::vector<std::string>{"stl", "obj", "obj", "ply"}));
  EXPECT_EQ(Associations::declaredContentType(types, "obj"), std::nullopt);
  EXPECT_EQ(Associations::declaredContentType(types, "PLY"), "a/ply");
  EXPECT_EQ(Associations::declaredContentType(types, "dae"), std::nullopt);
}

TEST(Config, StoresSetsAsOneSortedLowerCaseString) {
  auto settings = DesktopServices::settings();
  DefaultsStore& defaults = *settings;
  Config::setList(defaults, "K", {"stl", "OBJ", "stl", "3ds", "e\xcc\x81", "\xc3\xa9z"});
  EXPECT_EQ(defaults.string("K"), "3ds,obj,stl,\xc3\xa9,\xc3\xa9z");
  defaults.setString("K", " stl ,,\tOBJ\t, ,3ds,");
  EXPECT_EQ(Config::getList(defaults, "K"), (std::set<std::string>{"3ds", "obj", "stl"}));
  Config::setList(defaults, "K", {});
  EXPECT_EQ(defaults.string("K"), "");
  EXPECT_TRUE(Config::getList(defaults, "missing").empty());
}
