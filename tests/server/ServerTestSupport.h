#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

#include "LoopbackServer.h"

namespace ServerTests {

// A clock the test moves by hand, so idle rules are checked without waiting.
class FakeClock {
 public:
  LoopbackServer::Clock clock() {
    return [this] { return ServerCore::TimePoint(std::chrono::seconds(seconds_.load())); };
  }
  void advance(std::chrono::seconds by) { seconds_ += by.count(); }

 private:
  std::atomic<long long> seconds_{1'000'000};
};

// Writes `size` bytes of a pattern that differs at every offset; returns the bytes.
std::string writePatternFile(const std::filesystem::path& path, size_t size);

// The path, query included, of an address: what goes into the request line.
std::string targetOf(const std::string& url);

int openDescriptorCount();

// Polls until the process has at most `count` descriptors open, up to `timeout`.
bool waitForDescriptorCount(int count, std::chrono::milliseconds timeout);

}  // namespace ServerTests
