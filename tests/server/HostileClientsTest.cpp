#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <random>
#include <set>
#include <thread>

#include "Http.h"
#include "LoopbackServer.h"
#include "RunProgram.h"
#include "ServerTestSupport.h"
#include "TempHome.h"

using namespace TestSupport;
using namespace ServerTests;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class HostileClients : public testing::Test {
 protected:
  void serve(size_t size) {
    path = fs::temp_directory_path() /
           ("hostile-" + std::to_string(getpid()) + "-" + std::to_string(size) + ".bin");
    content = writePatternFile(path, size);
    server = std::make_unique<LoopbackServer>(path.string(), clock.clock());
    server->start();
    server->setPageHtml("<p>page</p>");
    token = targetOf(server->pageUrl()).substr(0, 34);
  }
  void TearDown() override {
    server.reset();
    fs::remove(path);
  }

  FakeClock clock;
  fs::path path;
  std::string content, token;
  std::unique_ptr<LoopbackServer> server;
};

// Reads the head and a little of the body, then drops the connection.
void abortDownload(int port, const std::string& target) {
  int fd = connectTo(port);
  std::string request = "GET " + target + " HTTP/1.1\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  char buffer[65536];
  ::recv(fd, buffer, sizeof buffer, MSG_WAITALL);
  ::close(fd);
}

std::string randomHead(std::mt19937& random, const std::string& token) {
  static const std::vector<std::string> pieces{
      "GET", "HEAD", "OPTIONS", "POST", "get", " ", "  ", "\t", "\r\n", "\n", "\r\n\r\n",
      "HTTP/1.1", "open", "file/x", "*", "/", "?q", "%00", "\xff", std::string(1, '\0')};
  std::string head;
  size_t count = random() % 12;
  for (size_t i = 0; i < count; ++i) {
    head += random() % 5 == 0 ? token : pieces[random() % pieces.size()];
  }
  if (random() % 2) head += "\r\n\r\n";
  return head;
}

}  // namespace

TEST_F(HostileClients, AbortedDownloadsLeaveNothingBehindAndDoNotCountAsServed) {
  serve(32 << 20);
  int descriptorsBefore = openDescriptorCount();
  std::vector<std::thread> clients;
  for (int batch = 0; batch < 10; ++batch) {
    for (int i = 0; i < 20; ++i) {
      clients.emplace_back(abortDownload, server->port(), targetOf(server->fileUrl()));
    }
    for (auto& client : clients) client.join();
    clients.clear();
  }
  EXPECT_TRUE(waitForDescriptorCount(descriptorsBefore, 10s))
      << openDescriptorCount() << " open, " << descriptorsBefore << " before";
  clock.advance(301s);
  EXPECT_FALSE(server->idleExpired()) << "an aborted download is not a served file";

  auto complete = httpRequest(server->fileUrl());
  ASSERT_TRUE(complete.ok) << complete.error;
  EXPECT_TRUE(complete.body == content);
  clock.advance(301s);
  EXPECT_TRUE(server->idleExpired());
}

TEST_F(HostileClients, IdleAndDrippingClientsDoNotDelayOthersAndAreCutOffAfterTenSeconds) {
  serve(10'000'000);
  std::vector<int> idle;
  for (int i = 0; i < 500; ++i) idle.push_back(connectWithoutWaiting(server->port()));
  auto dripStart = std::chrono::steady_clock::now();
  int dripper = connectTo(server->port());
  auto drip = std::async(std::launch::async, [&] {
    std::string head = "GET " + token + "open HTTP/1.1\r\nX-Slow: ";
    for (char c : head + std::string(30, 'z')) {
      if (::send(dripper, &c, 1, MSG_NOSIGNAL) != 1) return std::string("closed");
      pollfd waiting{dripper, POLLIN, 0};
      if (poll(&waiting, 1, 1000) > 0) {
        char answer;
        return std::string(::recv(dripper, &answer, 1, 0) > 0 ? "answered" : "closed");
      }
    }
    return std::string("still open");
  });

  std::this_thread::sleep_for(500ms);
  auto file = httpRequest(server->fileUrl(), "GET", 5s);
  auto page = httpRequest(server->pageUrl(), "GET", 5s);
  EXPECT_TRUE(file.ok && file.body == content) << file.error;
  EXPECT_EQ(page.body, "<p>page</p>");

  EXPECT_EQ(drip.get(), "closed");
  auto lived = std::chrono::steady_clock::now() - dripStart;
  EXPECT_GT(lived, 9s);
  EXPECT_LT(lived, 13s);
  ::close(dripper);
  for (int fd : idle) ::close(fd);
}

TEST_F(HostileClients, RandomHeadsGetOnlySpecifiedAnswersWholeOrByteByByte) {
  serve(1000);
  std::mt19937 random(7);
  std::set<std::string> allowed{""};
  for (const auto& line : {"OPTIONS * HTTP/1.1", "GET / HTTP/1.1", "HEAD / HTTP/1.1"}) {
    allowed.insert(rawExchange(server->port(), std::string(line) + "\r\n\r\n"));
  }
  for (const auto& method : {"GET", "HEAD"}) {
    for (const auto& rest : {"open", "file/x"}) {
      allowed.insert(rawExchange(server->port(),
                                 std::string(method) + " " + token + rest + " HTTP/1.1\r\n\r\n"));
    }
  }
  ASSERT_EQ(allowed.size(), 8u);
  for (int round = 0; round < 150; ++round) {
    std::string head = randomHead(random, token.substr(0, 33));
    if (round % 50 == 0) head = std::string(16384 + round, 'x') + "\r\n\r\n";
    std::string whole = rawExchange(server->port(), head);
    EXPECT_TRUE(allowed.count(whole)) << "unexpected answer to: " << head;
    if (round % 3 == 0) {
      EXPECT_EQ(rawExchange(server->port(), head, true), whole) << head;
    }
  }
}

TEST(DescriptorExhaustion, TheServerAcceptsAgainOnceIdleConnectionsClose) {
  TempHome home;
  auto path = home.tmp() / "model.stl";
  writePatternFile(path, 4096);
  BackgroundProgram serving({"/usr/bin/prlimit", "--nofile=48:48", "--", VEXMOOR_SERVE_TOOL,
                             path.string()},
                            home.environment());
  std::string fileUrl = serving.readLine();
  ASSERT_FALSE(fileUrl.empty());
  int port = std::stoi(fileUrl.substr(fileUrl.find(':', 5) + 1));

  std::vector<int> idle;
  // Paced, so that the server takes each one up before the next arrives.
  for (int i = 0; i < 80; ++i) {
    idle.push_back(connectWithoutWaiting(port));
    std::this_thread::sleep_for(10ms);
  }
  auto whileExhausted = httpRequest(fileUrl, "GET", 500ms);
  EXPECT_FALSE(whileExhausted.ok) << "every descriptor should be taken by idle connections";
  for (int fd : idle) ::close(fd);

  auto afterwards = httpRequest(fileUrl, "GET", 5s);
  EXPECT_TRUE(afterwards.ok) << afterwards.error;
  EXPECT_EQ(afterwards.body.size(), 4096u);
  EXPECT_EQ(serving.stop(SIGTERM), 0);
}
