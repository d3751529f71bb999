#include "RandomToken.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <vector>

std::string randomHexToken(std::size_t byteCount) {
  std::vector<std::uint8_t> bytes(byteCount, 0);
  std::size_t filled = 0;
  while (filled < byteCount) {
    ssize_t n = getrandom(bytes.data() + filled, byteCount - filled, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("getrandom failed");
    filled += static_cast<std::size_t>(n);
  }
  static constexpr char hex[] = "0123456789abcdef";
  std::string token;
  for (auto byte : bytes) {
    token += hex[byte >> 4];
    token += hex[byte & 0xF];
  }
  return token;
}
