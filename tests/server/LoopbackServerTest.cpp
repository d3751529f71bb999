#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "Http.h"
#include "LoopbackServer.h"
#include "RunProgram.h"
#include "TempHome.h"

using namespace TestSupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string common =
    "Access-Control-Allow-Origin: *\r\nAccess-Control-Allow-Methods: GET, HEAD, OPTIONS\r\n"
    "Access-Control-Allow-Headers: *\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
const std::string notFoundHead = "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n" + common;
const std::string notFound = notFoundHead + "Not found";

std::string okHead(const std::string& type, size_t size) {
  return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(size) + "\r\n" + common;
}

// The path, query included, of an address: what goes into the request line.
std::string targetOf(const std::string& url) { return url.substr(url.find('/', url.find("://") + 3)); }

// Bytes that differ at every offset, so that a misplaced piece shows.
std::string writePatternFile(const fs::path& path, size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 1;
  for (auto& byte : bytes) byte = static_cast<char>((state = state * 1664525u + 1013904223u) >> 24);
  std::ofstream(path, std::ios::binary) << bytes;
  return bytes;
}

int openDescriptors() { return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), {})); }

// One served file; the test moves the server's clock by hand.
class Served : public testing::Test {
 public:
  void serve(size_t size, const std::string& viewerFolder = {}) {
    path = fs::temp_directory_path() / ("served-" + std::to_string(size) + ".stl");
    content = writePatternFile(path, size);
    server = std::make_unique<LoopbackServer>(
        path.string(), [now = now] { return ServerCore::TimePoint(std::chrono::seconds(now->load())); }, viewerFolder);
    server->start();
    server->setPageHtml(page);
    token = targetOf(server->pageUrl()).substr(0, 34);
  }
  std::string ask(const std::string& head) { return rawExchange(server->port(), head + "\r\n\r\n"); }
  // Whether the server is idle 300, 301, 900 and 901 seconds after now.
  std::vector<bool> idleAt300And900() {
    std::vector<bool> idle;
    for (long long step : {300, 1, 599, 1}) {
      *now += step;
      idle.push_back(server->idleExpired());
    }
    return idle;
  }

  const std::string page = "<!doctype html><title>Bridge \xc3\xa9</title>";
  // Connections may still read the clock after the test has ended.
  std::shared_ptr<std::atomic<long long>> now = std::make_shared<std::atomic<long long>>(1'000'000);
  fs::path path;
  std::string content, token;
  std::unique_ptr<LoopbackServer> server;
};

}  // namespace

TEST(LoopbackServerAddresses, CarryAFreshTokenAndTheEncodedFileName) {
  LoopbackServer first("/models/my model #1?%\xc3\xa9~-._.obj");
  LoopbackServer second("/models/x.stl");
  std::smatch match;
  std::string url = first.fileUrl();
  ASSERT_TRUE(std::regex_match(url, match, std::regex("http://127\\.0\\.0\\.1:0/([0-9a-f]{32})/file/(.*)")));
  EXPECT_EQ(match[2], "my%20model%20%231%3F%25%C3%A9~-._.obj");
  first.start();
  second.start();
  EXPECT_NE(first.port(), second.port());
  char port[8];
  std::snprintf(port, sizeof port, ":%04X ", first.port());
  EXPECT_NE(readText("/proc/net/tcp").find("0100007F" + std::string(port) + "00000000:0000 0A"), std::string::npos)
      << "it listens on 127.0.0.1 alone";
  EXPECT_EQ(first.pageUrl(), "http://127.0.0.1:" + std::to_string(first.port()) + "/" + match[1].str() + "/open");
  EXPECT_EQ(rawExchange(second.port(), "GET " + targetOf(first.pageUrl()) + " HTTP/1.1\r\n\r\n"), notFound)
      << "each answers only under its own token";
  int stopped = first.port();
  first.stop();
  EXPECT_EQ(connectTo(stopped), -1);
}

TEST_F(Served, AnswersEachKindOfRequestByteForByte) {
  serve(300'000);
  const std::string file = okHead("application/octet-stream", content.size());
  const std::vector<std::pair<std::string, std::string>> cases{
      {"OPTIONS * HTTP/1.1\r\n\r\n", "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n" + common},
      {"GET " + token + "open HTTP/1.1\r\nHost: x\r\n\r\n", okHead("text/html; charset=utf-8", page.size()) + page},
      {"HEAD " + token + "open HTTP/1.1\r\n\r\n", okHead("text/html; charset=utf-8", page.size())},
      {"GET " + token + "file/model.stl HTTP/1.1\r\n\r\n", file + content},
      {"HEAD " + token + "file/model.stl HTTP/1.1\r\n\r\n", file},
      {"GET / HTTP/1.1\r\n\r\n", notFound},
      {"HEAD /00000000000000000000000000000000/open HTTP/1.1\r\n\r\n", notFoundHead},
      {"GET " + token + "open HTTP/1.1\n\n", ""},
      {"GET " + token + "open\r\n\r\n", ""},
      {"GET " + token + "open HTTP/1.1\r\n" + std::string(16384, 'h'), ""},
      // Whatever follows the head is read and dropped, so the answer arrives whole.
      {"POST " + token + "open HTTP/1.1\r\nContent-Length: 65536\r\n\r\n" + std::string(65536, 'b'), notFound},
      {"GET " + token + "file/model.stl HTTP/1.1\r\n\r\n" + std::string(65536, 'p'), file + content},
  };
  for (const auto& [request, expected] : cases) {
    EXPECT_TRUE(rawExchange(server->port(), request) == expected) << request.substr(0, 60);
  }
  EXPECT_EQ(rawExchange(server->port(), cases[1].first, true), cases[1].second) << "one byte at a time";
  // Nor does a request that comes a moment after the first, while its answer is still unread.
  EXPECT_TRUE(rawExchange(server->port(), cases[3].first, false, cases[3].first) == cases[3].second);
}

// Only the files listed at the start answer, by their exact name; nothing else in the
// request comes near the disk (no file is even opened, as inotify sees).
TEST_F(Served, ViewerFilesAnswerByTheirExactNameAlone) {
  TempHome home;
  const fs::path root = home.root() / "share", folder = root / "viewer";
  fs::create_directories(folder / "app");
  std::ofstream(folder / "app/viewer.html") << "<p>viewer</p>";
  const std::string wasm = writePatternFile(folder / "app/engine.wasm", 70'000);
  std::ofstream(root / "secret.txt") << "secret";
  fs::create_symlink(root / "secret.txt", folder / "app/link.html");
  std::ofstream(folder / "app/swapped.css") << "p {}";
  serve(1000, folder.string());
  // Listed as a file, then made a link to a file outside.
  fs::remove(folder / "app/swapped.css");
  fs::create_symlink(root / "secret.txt", folder / "app/swapped.css");
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  for (const auto& watched : {root, folder / "app"}) inotify_add_watch(watch, watched.c_str(), IN_OPEN);
  auto opened = [watch] {
    char events[4096];
    long total = 0, n = 0;
    while ((n = ::read(watch, events, sizeof events)) > 0) total += n;
    return total > 0;
  };
  const std::string html = "<p>viewer</p>", viewer = token + "viewer/";
  const std::vector<std::tuple<std::string, std::string, bool>> cases{
      {"GET " + viewer + "app/viewer.html?bridge=1", okHead("text/html; charset=utf-8", html.size()) + html, true},
      {"GET " + viewer + "app/engine.wasm", okHead("application/wasm", wasm.size()) + wasm, true},
      {"HEAD " + viewer + "app/viewer.html", okHead("text/html; charset=utf-8", html.size()), true},
      {"GET " + viewer + "app/missing.js", notFound, false},
      {"GET " + viewer + "app/link.html", notFound, false},
      {"GET " + viewer + "app/swapped.css", notFound, false},
      {"GET " + viewer + "../secret.txt", notFound, false},
      {"GET " + viewer + "app/../../secret.txt", notFound, false},
      {"GET " + viewer + "%2e%2e/secret.txt", notFound, false},
      {"GET " + viewer + "app%2fviewer.html", notFound, false},
      {"GET " + viewer + "app/viewer.html.bak", notFound, false},
      {"GET " + viewer + "app/viewer.html/", notFound, false},
      {"GET /0123456789abcdef0123456789abcdef/viewer/app/viewer.html", notFound, false},
  };
  opened();
  for (const auto& [request, expected, opens] : cases) {
    EXPECT_TRUE(ask(request + " HTTP/1.1") == expected) << request;
    EXPECT_EQ(opened(), opens) << request;
  }
  ::close(watch);
}

TEST_F(Served, IsIdle300SecondsAfterServingOr900AfterStartingWithout) {
  const std::vector<bool> served{false, true, true, true}, unserved{false, false, false, true};
  struct Case {
    const char* name;
    std::function<void(Served&)> requests;
    std::vector<bool> idle;
  };
  const std::vector<Case> cases{
      {"nothing asked", [](Served&) {}, unserved},
      {"HEAD and the page, 100 s in: still 900 s from the start",
       [](Served& t) {
         *t.now += 100;
         t.ask("HEAD " + t.token + "file/x HTTP/1.1");
         t.ask("GET " + t.token + "open HTTP/1.1");
       },
       {false, false, true, true}},
      // The answer ends (FIN) only after the transfer counted, so the check cannot race it.
      {"a download",
       [](Served& t) {
         EXPECT_EQ(t.ask("GET " + t.token + "file/x HTTP/1.1"), okHead("application/octet-stream", 1000) + t.content);
       },
       served},
      {"an empty file",
       [](Served& t) {
         fs::resize_file(t.path, 0);
         EXPECT_EQ(t.ask("GET " + t.token + "file/x HTTP/1.1"), okHead("application/octet-stream", 0));
       },
       served},
      {"a folder in the file's place",
       [](Served& t) {
         fs::remove(t.path);
         fs::create_directory(t.path);
         EXPECT_EQ(t.ask("GET " + t.token + "file/x HTTP/1.1"), notFound);
       },
       unserved},
      {"a FIFO in the file's place, which must not block",
       [](Served& t) {
         fs::remove(t.path);
         ASSERT_EQ(mkfifo(t.path.c_str(), 0600), 0);
         EXPECT_EQ(t.ask("HEAD " + t.token + "file/x HTTP/1.1"), notFoundHead);
       },
       unserved},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    serve(1000);
    c.requests(*this);
    EXPECT_EQ(idleAt300And900(), c.idle);
    fs::remove_all(path);
  }
  serve(1000);
  ask("GET " + token + "file/x HTTP/1.1");
  *now += 299;
  ask("GET " + token + "open HTTP/1.1");
  EXPECT_EQ(idleAt300And900(), served) << "a page reload is fresh activity";
}

TEST_F(Served, TheLaunchAddressLeadsToThePageOnceWithinAMinute) {
  serve(1000);
  std::string launch = targetOf(server->launchUrl());
  EXPECT_EQ(server->launchUrl().find(token.substr(1, 32)), std::string::npos);
  EXPECT_EQ(ask("GET " + launch + " HTTP/1.1"),
            "HTTP/1.1 303 See Other\r\nLocation: " + server->pageUrl() + "\r\nContent-Length: 0\r\n" + common);
  EXPECT_EQ(ask("GET " + launch + " HTTP/1.1"), notFound) << "only once";
  serve(1000);
  *now += 61;
  EXPECT_EQ(ask("GET " + targetOf(server->launchUrl()) + " HTTP/1.1"), notFound);
}

// Aborted downloads leave no descriptor behind and serve nothing; idle, silent and dripping
// clients delay nobody and are cut off after ten seconds.
TEST_F(Served, HostileClientsHoldNothingUp) {
  serve(32 << 20);
  int before = openDescriptors();
  for (int batch = 0; batch < 10; ++batch) {
    std::vector<std::thread> clients;
    for (int i = 0; i < 20; ++i) {
      clients.emplace_back([this] {
        int fd = connectTo(server->port());
        std::string request = "GET " + targetOf(server->fileUrl()) + " HTTP/1.1\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[65536];
        ::recv(fd, buffer, sizeof buffer, MSG_WAITALL);
        ::close(fd);
      });
    }
    for (auto& client : clients) client.join();
  }
  for (int i = 0; i < 500 && openDescriptors() > before; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_LE(openDescriptors(), before);
  std::vector<int> idle;
  for (int i = 0; i < 500; ++i) idle.push_back(connectWithoutWaiting(server->port()));
  auto dripStart = std::chrono::steady_clock::now();
  auto drip = std::async(std::launch::async, [&] {
    int fd = connectTo(server->port());
    std::string answer = "still open";
    for (char c : "GET " + token + "open HTTP/1.1\r\nX-Slow: " + std::string(30, 'z')) {
      pollfd waiting{fd, POLLIN, 0};
      if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1 || poll(&waiting, 1, 1000) > 0) {
        answer = ::recv(fd, &c, 1, 0) > 0 ? "answered" : "closed";
        break;
      }
    }
    ::close(fd);
    return answer;
  });
  std::this_thread::sleep_for(500ms);
  auto file = httpRequest(server->fileUrl(), 5s);
  EXPECT_TRUE(file.ok && file.body == content) << file.error;
  EXPECT_EQ(drip.get(), "closed");
  auto lived = std::chrono::steady_clock::now() - dripStart;
  EXPECT_GT(lived, 9s);
  EXPECT_LT(lived, 13s);
  pollfd silent{idle.front(), POLLIN, 0};
  char byte = 0;
  EXPECT_TRUE(poll(&silent, 1, 5000) > 0 && ::recv(idle.front(), &byte, 1, 0) == 0) << "a silent client is cut off";
  for (int fd : idle) ::close(fd);
}

// A file that shrinks while it is sent (saved over, cut short by a sync tool): the transfer
// ends short, the connection closes instead of waiting for bytes that never come, and the
// server goes on serving.
TEST_F(Served, AFileThatShrinksWhileSentEndsItsTransfer) {
  serve(64 << 20);
  int fd = connectTo(server->port());
  std::string request = "GET " + targetOf(server->fileUrl()) + " HTTP/1.1\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  char buffer[65536];
  ASSERT_GT(::recv(fd, buffer, sizeof buffer, 0), 0);
  fs::resize_file(path, 1 << 20);
  size_t received = 0;
  ssize_t n = -1;
  pollfd waiting{fd, POLLIN, 0};
  while (poll(&waiting, 1, 10000) > 0 && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
    received += static_cast<size_t>(n);
  }
  ::close(fd);
  EXPECT_EQ(n, 0) << "the connection is closed";
  EXPECT_LT(received, size_t(63) << 20);
  EXPECT_TRUE(httpRequest(server->fileUrl()).ok);
}

TEST(DescriptorExhaustion, TheServerAcceptsAgainOnceIdleConnectionsClose) {
  TempHome home;
  auto path = home.tmp() / "model.stl";
  writePatternFile(path, 4096);
  BackgroundProgram serving({"/usr/bin/prlimit", "--nofile=48:48", "--", VEXMOOR_SERVE_TOOL, path.string()},
                            home.environment());
  std::string fileUrl = serving.readLine();
  ASSERT_FALSE(fileUrl.empty());
  int port = std::stoi(fileUrl.substr(fileUrl.find(':', 5) + 1));
  std::vector<int> idle;
  for (int i = 0; i < 80; ++i) {  // paced, so that the server takes each one up
    idle.push_back(connectWithoutWaiting(port));
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_FALSE(httpRequest(fileUrl, 500ms).ok) << "idle connections hold every descriptor";
  for (int fd : idle) ::close(fd);
  auto afterwards = httpRequest(fileUrl, 5s);
  EXPECT_EQ(afterwards.body.size(), 4096u) << afterwards.error;
  EXPECT_EQ(serving.stop(SIGTERM), 0);
}
