#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <future>
#include <regex>

#include "Http.h"
#include "LoopbackServer.h"
#include "ServerTestSupport.h"

using namespace TestSupport;
using namespace ServerTests;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string commonHeaders =
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, HEAD, OPTIONS\r\n"
    "Access-Control-Allow-Headers: *\r\n"
    "Cache-Control: no-store\r\n"
    "Connection: close\r\n\r\n";
const std::string preflight =
    "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n" + commonHeaders;
const std::string notFoundHead =
    "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n" + commonHeaders;
const std::string notFound = notFoundHead + "Not found";

std::string fileHead(size_t size) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
         std::to_string(size) + "\r\n" + commonHeaders;
}

std::string pageHead(size_t size) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
         std::to_string(size) + "\r\n" + commonHeaders;
}

class ServedFile : public testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() / ("served-" + std::to_string(getpid()) + "-" +
                                          testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(folder);
    path = folder / "model.stl";
    content = writePatternFile(path, 300'000);
    server = std::make_unique<LoopbackServer>(path.string(), clock.clock());
    server->start();
    server->setPageHtml(page);
    token = targetOf(server->pageUrl()).substr(0, 34);
  }
  void TearDown() override {
    server.reset();
    fs::remove_all(folder);
  }
  std::string ask(const std::string& requestLine) {
    return rawExchange(server->port(), requestLine + "\r\nHost: 127.0.0.1\r\n\r\n");
  }

  const std::string page = "<!doctype html><title>Bridge \xc3\xa9</title>";
  FakeClock clock;
  fs::path folder, path;
  std::string content, token;
  std::unique_ptr<LoopbackServer> server;
};

}  // namespace

TEST(LoopbackServerAddresses, CarryAFreshTokenAndTheEncodedFileName) {
  LoopbackServer first("/models/my model #1?%\xc3\xa9~-._.obj");
  LoopbackServer second("/models/x.stl");
  EXPECT_EQ(first.pageUrl().substr(0, 19), "http://127.0.0.1:0/");
  std::smatch match;
  std::string url = first.fileUrl();
  ASSERT_TRUE(std::regex_match(url, match, std::regex("http://127\\.0\\.0\\.1:0/([0-9a-f]{32})/file/(.*)")));
  EXPECT_EQ(match[2], "my%20model%20%231%3F%25%C3%A9~-._.obj");
  EXPECT_EQ(first.pageUrl(), "http://127.0.0.1:0/" + match[1].str() + "/open");
  EXPECT_NE(targetOf(first.pageUrl()), targetOf(second.pageUrl()));

  first.start();
  second.start();
  EXPECT_GT(first.port(), 0);
  EXPECT_NE(first.port(), second.port());
  EXPECT_EQ(first.pageUrl(), "http://127.0.0.1:" + std::to_string(first.port()) + "/" +
                                 match[1].str() + "/open");
  // Each answers only under its own token.
  EXPECT_EQ(rawExchange(second.port(), "GET " + targetOf(first.pageUrl()) + " HTTP/1.1\r\n\r\n"),
            notFound);
}

TEST_F(ServedFile, AnswersEveryRouteAndMethodByteForByte) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"OPTIONS * HTTP/1.1", preflight},
      {"OPTIONS /anything HTTP/1.1", preflight},
      {"GET " + token + "open HTTP/1.1", pageHead(page.size()) + page},
      {"HEAD " + token + "open HTTP/1.1", pageHead(page.size())},
      {"GET " + token + "file/model.stl HTTP/1.1", fileHead(content.size()) + content},
      {"GET " + token + " HTTP/1.1", fileHead(content.size()) + content},
      {"GET " + token + "open?x=1 HTTP/1.1", fileHead(content.size()) + content},
      {"HEAD " + token + "file/model.stl HTTP/1.1", fileHead(content.size())},
      {"GET " + token.substr(0, 33) + " HTTP/1.1", notFound},
      {"GET http://127.0.0.1:" + std::to_string(server->port()) + token + "open HTTP/1.1", notFound},
      {"get " + token + "open HTTP/1.1", notFound},
      {"POST " + token + "open HTTP/1.1", notFound},
      {"HEAD /00000000000000000000000000000000/open HTTP/1.1", notFoundHead},
      {"GET / HTTP/1.1", notFound},
      {"GET " + token + "open", ""},
      {"GET\t" + token + "open\tHTTP/1.1", ""},
  };
  for (const auto& [line, expected] : cases) EXPECT_EQ(ask(line), expected) << line;
}

TEST_F(ServedFile, AnswersInFullWhateverTheClientSendsAfterTheHead) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"POST " + token + "open HTTP/1.1\r\nContent-Length: 65536\r\n\r\n" + std::string(65536, 'b'),
       notFound},
      {"GET " + token + "file/model.stl HTTP/1.1\r\n\r\n" + std::string(65536, 'p'),
       fileHead(content.size()) + content},
  };
  for (const auto& [request, expected] : cases) {
    auto received = rawExchange(server->port(), request);
    EXPECT_TRUE(received == expected) << request.substr(0, 40) << ": " << received.size() << " bytes";
  }
}

TEST_F(ServedFile, NeverAnswersAHeadThatDoesNotEndProperly) {
  EXPECT_EQ(rawExchange(server->port(), "GET " + token + "open HTTP/1.1\n\n"), "");
  EXPECT_EQ(rawExchange(server->port(), "GET " + token + "open HTTP/1.1\r\n" +
                                            std::string(16384, 'h')),
            "");
}

TEST_F(ServedFile, ServesPageAndFileAtTheSameTimeToARealClient) {
  auto fileDownload = std::async(std::launch::async, [&] { return httpRequest(server->fileUrl()); });
  auto pageDownload = std::async(std::launch::async, [&] { return httpRequest(server->pageUrl()); });
  auto file = fileDownload.get();
  auto pageResponse = pageDownload.get();
  ASSERT_TRUE(file.ok) << file.error;
  EXPECT_EQ(file.status, 200);
  EXPECT_TRUE(file.body == content);
  EXPECT_EQ(pageResponse.body, page);
  auto head = httpRequest(server->fileUrl(), "HEAD");
  EXPECT_EQ(head.body, "");
  EXPECT_NE(head.headers.find("Content-Length: 300000\r\n"), std::string::npos);
}

TEST_F(ServedFile, OnlyACompleteGetCountsAsServed) {
  ask("HEAD " + token + "file/model.stl HTTP/1.1");
  ask("GET " + token + "open HTTP/1.1");
  clock.advance(301s);
  EXPECT_FALSE(server->idleExpired()) << "HEAD and the page never serve the file";
  clock.advance(599s);
  EXPECT_FALSE(server->idleExpired()) << "exactly 900 s after the start is not yet idle";
  clock.advance(1s);
  EXPECT_TRUE(server->idleExpired());

  EXPECT_TRUE(httpRequest(server->fileUrl()).ok);
  EXPECT_FALSE(server->idleExpired()) << "the download is fresh activity";
  clock.advance(300s);
  EXPECT_FALSE(server->idleExpired()) << "exactly 300 s after the last activity";
  clock.advance(1s);
  EXPECT_TRUE(server->idleExpired());
  ask("GET " + token + "open HTTP/1.1");
  EXPECT_FALSE(server->idleExpired()) << "a page reload pushes idleness back";
}

TEST_F(ServedFile, AnEmptyFileIsServedWithNoBody) {
  fs::resize_file(path, 0);
  EXPECT_EQ(ask("GET " + token + "file/model.stl HTTP/1.1"), fileHead(0));
  clock.advance(301s);
  EXPECT_TRUE(server->idleExpired());
}

TEST_F(ServedFile, AnswersNotFoundForAFileThatIsGoneOrNotARegularFile) {
  fs::remove(path);
  EXPECT_EQ(ask("GET " + token + "file/model.stl HTTP/1.1"), notFound);
  EXPECT_EQ(ask("HEAD " + token + "file/model.stl HTTP/1.1"), notFoundHead);
  fs::create_directory(path);
  EXPECT_EQ(ask("GET " + token + "file/model.stl HTTP/1.1"), notFound);
  fs::remove(path);
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(ask("GET " + token + "file/model.stl HTTP/1.1"), notFound) << "a FIFO must not block";
  clock.advance(301s);
  EXPECT_FALSE(server->idleExpired());
}

TEST_F(ServedFile, TheLaunchAddressLeadsToThePageOnceWithinAMinute) {
  std::string launch = targetOf(server->launchUrl());
  EXPECT_EQ(launch.size(), 33u);
  EXPECT_EQ(server->launchUrl().find(token.substr(1, 32)), std::string::npos);
  EXPECT_EQ(ask("HEAD " + launch + " HTTP/1.1"), notFoundHead);
  EXPECT_EQ(ask("GET " + launch + " HTTP/1.1"),
            "HTTP/1.1 303 See Other\r\nLocation: " + server->pageUrl() +
                "\r\nContent-Length: 0\r\n" + commonHeaders);
  EXPECT_EQ(ask("GET " + launch + " HTTP/1.1"), notFound) << "only once";

  LoopbackServer late(path.string(), clock.clock());
  late.start();
  clock.advance(61s);
  EXPECT_EQ(rawExchange(late.port(), "GET " + targetOf(late.launchUrl()) + " HTTP/1.1\r\n\r\n"),
            notFound);
}

TEST_F(ServedFile, RefusesConnectionsOnceStopped) {
  int port = server->port();
  server->stop();
  EXPECT_EQ(connectTo(port), -1);
  server->stop();
  LoopbackServer neverStarted("/x");
  neverStarted.stop();
  EXPECT_FALSE(neverStarted.idleExpired());
}
