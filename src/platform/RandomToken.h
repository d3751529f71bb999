#pragma once

#include <cstddef>
#include <string>

// `byteCount` bytes from the kernel's secure generator as lower-case hex digits.
// Throws std::runtime_error if the generator fails, rather than hand out a guessable value.
std::string randomHexToken(std::size_t byteCount = 16);
