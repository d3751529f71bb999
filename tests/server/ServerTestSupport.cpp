#include "ServerTestSupport.h"

#include <fstream>
#include <thread>

namespace ServerTests {

std::string writePatternFile(const std::filesystem::path& path, size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = static_cast<uint32_t>(size) * 2654435761u + 1;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>(state >> 24);
  }
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
  return bytes;
}

std::string targetOf(const std::string& url) {
  auto hostStart = url.find("://") + 3;
  return url.substr(url.find('/', hostStart));
}

int openDescriptorCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

bool waitForDescriptorCount(int count, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (openDescriptorCount() > count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace ServerTests
