#include <gtest/gtest.h>

#include "BridgePage.h"

namespace {

std::string lineWith(const std::string& page, const std::string& marker) {
  size_t at = page.find(marker);
  if (at == std::string::npos) return "<missing " + marker + ">";
  size_t start = page.rfind('\n', at) + 1;
  return page.substr(start, page.find('\n', at) - start);
}

const std::string fileUrl = "http://127.0.0.1:4242/0123456789abcdef0123456789abcdef/file/my%20model.stl";

}  // namespace

TEST(BridgePage, FillsTheTemplateWithTitleFrameAndConfiguration) {
  auto page = BridgePage::build("https://www.vexmoor.com/tools/3d-viewer", fileUrl, "my model.stl");
  EXPECT_EQ(page.substr(0, 16), "<!doctype html>\n");
  EXPECT_EQ(page.substr(page.size() - 8), "\n</html>");
  EXPECT_EQ(lineWith(page, "<title>"), "<title>my model.stl - Vexmoor 3D Viewer</title>");
  EXPECT_EQ(lineWith(page, "<iframe"),
            "<iframe id=\"viewer\" src=\"https://www.vexmoor.com/tools/3d-viewer?bridge=1\" "
            "allow=\"fullscreen\"></iframe>");
  EXPECT_EQ(lineWith(page, "var cfg"),
            "  var cfg = {\"directUrl\":\"https:\\/\\/www.vexmoor.com\\/tools\\/3d-viewer?url="
            "http%3A%2F%2F127.0.0.1%3A4242%2F0123456789abcdef0123456789abcdef%2Ffile%2Fmy%2520model.stl\","
            "\"fileName\":\"my model.stl\","
            "\"fileUrl\":\"http:\\/\\/127.0.0.1:4242\\/0123456789abcdef0123456789abcdef\\/file\\/my%20model.stl\","
            "\"viewerOrigin\":\"https:\\/\\/www.vexmoor.com\"};");
  EXPECT_EQ(page.find("__"), std::string::npos);
  page = BridgePage::build("https://v.example/viewer?lang=en", "http://a/b", "b");
  EXPECT_NE(page.find("src=\"https://v.example/viewer?lang=en?bridge=1\""), std::string::npos);
  EXPECT_NE(page.find("viewer?lang=en?url=http%3A%2F%2Fa%2Fb\""), std::string::npos);
}

TEST(BridgePage, OriginIsWrittenAsBrowsersWriteIt) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"https://www.vexmoor.com/tools/3d-viewer", "https://www.vexmoor.com"},
      {"HTTPS://WWW.VEXMOOR.COM:443/tools/3d-viewer", "https://www.vexmoor.com"},
      {"http://127.0.0.1:80/v", "http://127.0.0.1"},
      {"http://host:443/v", "http://host:443"},
      {"HTTP://LocalHost:8080/x?y=1#z", "http://localhost:8080"},
      {"http://[::ABCD]:80/v", "http://[::abcd]"},
      {"http://user:pw@host:0081/x", "http://host:81"},
      {"http://[::1]:9000/v", "http://[::1]:9000"},
      {"https://example.com?q=1", "https://example.com"},
      {"not a url", "not a url"},
      {"/tools/3d-viewer", "/tools/3d-viewer"},
      {"file:///tmp/viewer", "file:///tmp/viewer"},
      {"http://host:port/x", "http://host:port/x"},
      {"", ""},
      {"https://", "https://"},
      {"https://user@", "https://user@"},
      {"https://user@/x", "https://user@/x"},
      {"https://[::1", "https://[::1"},
  };
  for (const auto& [url, origin] : cases) EXPECT_EQ(BridgePage::originOf(url), origin) << url;
}

TEST(BridgePage, ShowsAnyFileNameAsTextThatCannotChangeThePage) {
  EXPECT_EQ(BridgePage::htmlEscape("a&amp;<b>\"c'"), "a&amp;amp;&lt;b&gt;&quot;c&#39;");
  std::string name = "a&b<c>\"d'e<!--<script>alert(1)</script>__CONFIG__ __IFRAME_SRC__.stl";
  auto page = BridgePage::build("https://v.example/viewer", fileUrl, name);
  EXPECT_EQ(lineWith(page, "<title>"),
            "<title>a&amp;b&lt;c&gt;&quot;d&#39;e&lt;!--&lt;script&gt;alert(1)&lt;/script&gt;"
            "__CONFIG__ __IFRAME_SRC__.stl - Vexmoor 3D Viewer</title>");
  std::string config = lineWith(page, "var cfg");
  EXPECT_NE(config.find("\"fileName\":\"a&b\\u003cc>\\\"d'e\\u003c!--\\u003cscript>alert(1)"
                        "\\u003c\\/script>__CONFIG__ __IFRAME_SRC__.stl\""),
            std::string::npos)
      << config;
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
  EXPECT_EQ(page.find("</script>", page.find("<script>")), page.rfind("</script>"));

  // A viewer address cannot end the frame's attribute or the script either.
  page = BridgePage::build("https://v.example/a\"b<c>&d</script>", fileUrl, "m.stl");
  EXPECT_EQ(lineWith(page, "<iframe"),
            "<iframe id=\"viewer\" src=\"https://v.example/a&quot;b&lt;c&gt;&amp;d&lt;/script&gt;?bridge=1\" "
            "allow=\"fullscreen\"></iframe>");
  EXPECT_EQ(lineWith(page, "var cfg").find('<'), std::string::npos);

  page = BridgePage::build("https://v.example/viewer", fileUrl, "mod\xe8le-\xc3\xa9.stl");
  EXPECT_EQ(lineWith(page, "<title>"), "<title>mod\xef\xbf\xbdle-\xc3\xa9.stl - Vexmoor 3D Viewer</title>")
      << "invalid UTF-8 shows as U+FFFD";
  EXPECT_NE(page.find("\"fileName\":\"mod\xef\xbf\xbdle-\xc3\xa9.stl\""), std::string::npos);
}
