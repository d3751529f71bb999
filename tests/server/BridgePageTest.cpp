#include <gtest/gtest.h>

#include <array>

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
            "  var cfg = {\"builtinDirectUrl\":\"\",\"builtinFrameUrl\":\"\",\"builtinOrigin\":\"\","
            "\"directUrl\":\"https:\\/\\/www.vexmoor.com\\/tools\\/3d-viewer?url="
            "http%3a%2f%2f127.0.0.1%3a4242%2f0123456789abcdef0123456789abcdef%2ffile%2fmy%2520model.stl\","
            "\"fileName\":\"my model.stl\","
            "\"fileUrl\":\"http:\\/\\/127.0.0.1:4242\\/0123456789abcdef0123456789abcdef\\/file\\/my%20model.stl\","
            "\"probeUrl\":\"https:\\/\\/www.vexmoor.com\\/tools\\/3d-viewer\","
            "\"viewerOrigin\":\"https:\\/\\/www.vexmoor.com\"};");
  EXPECT_EQ(page.find("__"), std::string::npos);
  // Each parameter joins the query the address already has, before its fragment.
  for (const auto& [base, frame, direct] : std::vector<std::array<std::string, 3>>{
           {"https://v.example/viewer?lang=en", "viewer?lang=en&amp;bridge=1", "viewer?lang=en&url=http%3a%2f%2fa%2fb"},
           {"https://v.example/viewer?#top", "viewer?bridge=1#top", "viewer?url=http%3a%2f%2fa%2fb#top"},
           {"https://v.example/v?a=%2B+b#x?y", "v?a=%2B+b&amp;bridge=1#x?y", "v?a=%2B+b&url=http%3a%2f%2fa%2fb#x?y"}}) {
    page = BridgePage::build(base, "http://a/b", "b");
    EXPECT_NE(page.find("src=\"https://v.example/" + frame + "\""), std::string::npos) << base;
    EXPECT_NE(page.find("\\/v.example\\/" + direct + "\""), std::string::npos) << base;
  }
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
      {"https:/v.example/x", "https://v.example"},
      {"http://0x7f.1/", "http://127.0.0.1"},
      {"https://ex%61mple.com/", "https://example.com"},
      {"https://[fe80::1%25eth0]/", "https://[fe80::1%25eth0]/"},
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
