#pragma once

#include <filesystem>
#include <string>

#include "TempHome.h"

namespace BundlerTests {

using TestSupport::writeText;

inline const std::string pngBytes = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(100, 'p');
inline const std::string jpegBytes = std::string("\xff\xd8\xff\xe0", 4) + std::string(100, 'j');

// The text as UTF-16LE bytes.
inline std::string utf16(const std::string& text) {
  std::string bytes;
  for (char c : text) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

// A fresh folder for one test under the test home's temporary folder.
inline std::filesystem::path freshFolder(const std::string& name) {
  auto folder = std::filesystem::temp_directory_path() / ("models-" + name);
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

}  // namespace BundlerTests
