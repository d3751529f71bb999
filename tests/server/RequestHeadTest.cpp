#include <gtest/gtest.h>

#include "RequestHead.h"

using RequestHead::Progress;
using RequestHead::Route;

namespace {

struct Outcome {
  Progress progress;
  std::string line;
  bool operator==(const Outcome&) const = default;
};

// Feeds `bytes` in reads of at most `chunk` bytes, as a socket would deliver them.
Outcome readHead(const std::string& bytes, size_t chunk) {
  RequestHead::Reader reader;
  size_t offset = 0;
  while (offset < bytes.size()) {
    size_t take = std::min({chunk, reader.nextReadSize(), bytes.size() - offset});
    auto progress = reader.feed(std::string_view(bytes).substr(offset, take));
    offset += take;
    if (progress != Progress::needMore) return {progress, reader.requestLine()};
  }
  return {Progress::needMore, ""};
}

const std::string prefix = "/0123456789abcdef0123456789abcdef/";

}  // namespace

TEST(RequestHeadReader, FindsTheRequestLineHoweverTheBytesArrive) {
  const std::vector<std::pair<std::string, Outcome>> cases{
      {"GET /a HTTP/1.1\r\n\r\n", {Progress::complete, "GET /a HTTP/1.1"}},
      {"GET /a HTTP/1.1\r\nHost: x\r\nAccept: *\r\n\r\nbody", {Progress::complete, "GET /a HTTP/1.1"}},
      {"\r\n\r\n", {Progress::complete, ""}},
      {"GET /a HTTP/1.1\n\n", {Progress::needMore, ""}},
      {"GET /a HTTP/1.1\r\n\n\r\n", {Progress::needMore, ""}},
      {"GET /\xe9\xff HTTP/1.1\r\n\r\n", {Progress::complete, "GET /\xe9\xff HTTP/1.1"}},
      {std::string("GET /\0 HTTP/1.1\r\n\r\n", 19), {Progress::complete, std::string("GET /\0 HTTP/1.1", 15)}},
      {std::string(16384, 'a'), {Progress::tooLarge, ""}},
      {std::string(16380, 'a') + "\r\n\r\n", {Progress::complete, std::string(16380, 'a')}},
      {std::string(16381, 'a') + "\r\n\r\n", {Progress::tooLarge, ""}},
      {std::string(20000, 'a') + "\r\n\r\n", {Progress::tooLarge, ""}},
  };
  for (const auto& [bytes, expected] : cases) {
    for (size_t chunk : {size_t{1}, size_t{2}, size_t{7}, size_t{1024}, size_t{100000}}) {
      EXPECT_EQ(readHead(bytes, chunk), expected) << "chunk " << chunk << ": " << bytes.substr(0, 40);
    }
  }
}

TEST(RequestHeadClassify, RoutesEachRequestLine) {
  const std::string launch = "/fedcba9876543210fedcba9876543210";
  struct Case {
    std::string line;
    Route route;
    bool isHead;
  };
  const std::vector<Case> cases{
      {"OPTIONS * HTTP/1.1", Route::preflight, false},
      {"OPTIONS " + prefix + "open HTTP/1.1", Route::preflight, false},
      {"GET " + prefix + "open HTTP/1.1", Route::page, false},
      {"HEAD " + prefix + "open HTTP/1.1", Route::page, true},
      {"GET   " + prefix + "open   HTTP/1.1  extra", Route::page, false},
      {"GET " + prefix + "open?x=1 HTTP/1.1", Route::file, false},
      {"GET " + prefix + " HTTP/1.1", Route::file, false},
      {"HEAD " + prefix + "file/x HTTP/1.1", Route::file, true},
      {"GET " + prefix.substr(0, prefix.size() - 1) + " HTTP/1.1", Route::notFound, false},
      {"HEAD /ffffffffffffffffffffffffffffffff/open HTTP/1.1", Route::notFound, true},
      {"GET /0123456789abcdef0123456789abcdee/open HTTP/1.1", Route::notFound, false},
      {"GET http://127.0.0.1:80" + prefix + "open HTTP/1.1", Route::notFound, false},
      {"get " + prefix + "open HTTP/1.1", Route::notFound, false},
      {"POST " + prefix + "open HTTP/1.1", Route::notFound, false},
      {"GET\t" + prefix + "open\tHTTP/1.1", Route::closeSilently, false},
      {"GET " + prefix + "open", Route::closeSilently, false},
      {"   ", Route::closeSilently, false},
      {"GET " + launch + " HTTP/1.1", Route::launch, false},
      {"HEAD " + launch + " HTTP/1.1", Route::notFound, true},
      {"GET " + launch + "/ HTTP/1.1", Route::notFound, false},
      {"GET " + launch.substr(0, 32) + " HTTP/1.1", Route::notFound, false},
  };
  for (const auto& c : cases) {
    auto request = RequestHead::classify(c.line, prefix, launch);
    EXPECT_EQ(request.route, c.route) << c.line;
    EXPECT_EQ(request.isHead, c.isHead) << c.line;
  }
}
