#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "LoopbackServer.h"

namespace ServerTests {

// A clock the test moves by hand, so idle rules are checked without waiting. Connections
// may still read it after the test has ended, so it lives as long as they hold it.
class FakeClock {
 public:
  LoopbackServer::Clock clock() {
    return [seconds = seconds_] { return ServerCore::TimePoint(std::chrono::seconds(seconds->load())); };
  }
  void advance(std::chrono::seconds by) { *seconds_ += by.count(); }

 private:
  std::shared_ptr<std::atomic<long long>> seconds_ = std::make_shared<std::atomic<long long>>(1'000'000);
};

// Writes `size` bytes of a pattern that differs at every offset; returns the bytes.
std::string writePatternFile(const std::filesystem::path& path, size_t size);

// The path, query included, of an address: what goes into the request line.
std::string targetOf(const std::string& url);

int openDescriptorCount();

// Polls until the process has at most `count` descriptors open, up to `timeout`.
bool waitForDescriptorCount(int count, std::chrono::milliseconds timeout);

}  // namespace ServerTests
