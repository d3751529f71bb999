#include <gtest/gtest.h>

#include "BuildInfo.h"
#include "Catalog.h"

namespace {

std::string catalogWith(const std::string& formats, const std::string& extra = "") {
  return R"({"viewerUrl": "https://v.example/tools/3d-viewer", )" + extra + R"("formats": [)" +
         formats + "]}";
}

const std::string stl = R"({"id": "stl", "name": "STL", "category": "mesh", "extensions": ["stl"]})";

}  // namespace

TEST(CatalogParse, RejectsAnythingNotExactlyACatalog) {
  const std::vector<std::string> rejected{
      "<html><body>502 Bad Gateway</body></html>",
      "",
      "[]",
      catalogWith(""),
      catalogWith(stl + "," + stl + R"(, {"id": "x", "name": "X", "extensions": []})"),
      catalogWith(R"({"id": "x", "name": "X", "category": "mesh", "extensions": "x"})"),
      catalogWith(R"({"id": "x", "name": "X", "category": "mesh", "extensions": [1]})"),
      catalogWith(R"({"id": 3, "name": "X", "category": "mesh", "extensions": []})"),
      catalogWith(R"({"id": "x", "name": null, "category": "mesh", "extensions": []})"),
      catalogWith(R"("stl")"),
      R"({"viewerURL": "x", "formats": [)" + stl + "]}",
      R"({"formats": [)" + stl + "]}",
  };
  for (const auto& text : rejected) EXPECT_FALSE(FormatCatalog::parse(text)) << text;
}

TEST(CatalogParse, KeepsOrderDuplicatesAndIgnoresExtraKeys) {
  auto catalog = FormatCatalog::parse(catalogWith(
      R"({"id": "a", "name": "A", "category": "c", "extensions": ["OBJ", "Ém"], "v": 2},)"
      R"({"id": "b", "name": "", "category": "", "extensions": []},)"
      R"({"id": "c", "name": "C", "category": "c", "extensions": ["obj", ""]})",
      R"("version": 7, )"));
  ASSERT_TRUE(catalog);
  EXPECT_EQ(catalog->formats.size(), 3u);
  EXPECT_EQ(catalog->formats[0].extensions, (std::vector<std::string>{"OBJ", "Ém"}));
  EXPECT_EQ(catalog->allExtensions(), (std::vector<std::string>{"obj", "ém", "obj", ""}));
  auto emptyViewer = FormatCatalog::parse(R"({"viewerUrl": "", "formats": [)" + stl + "]}");
  ASSERT_TRUE(emptyViewer);
  EXPECT_EQ(emptyViewer->viewerUrl, "");
}

TEST(CatalogParse, TheEmbeddedDefaultHasTwentyOneFormats) {
  auto catalog = FormatCatalog::parse(FormatCatalog::embeddedDefault());
  ASSERT_TRUE(catalog);
  EXPECT_EQ(catalog->viewerUrl, std::string(BuildInfo::viewerSite) + "/tools/3d-viewer");
  EXPECT_EQ(catalog->viewerUrl, FormatCatalog::defaultViewerUrl());
  ASSERT_EQ(catalog->formats.size(), 21u);
  EXPECT_EQ(catalog->formats.front().id, "skp");
  EXPECT_EQ(catalog->formats.back().name, "Autodesk DWF / DWFx");
  auto extensions = catalog->allExtensions();
  EXPECT_EQ(extensions.size(), 28u);
  EXPECT_EQ(extensions.front(), "skp");
  EXPECT_EQ(extensions.back(), "dwfx");
  EXPECT_EQ(FormatCatalog::embeddedDefault().substr(0, 4), "{\n  ");
}
