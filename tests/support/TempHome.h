#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace TestSupport {

// A throw-away home folder with every XDG location inside it. Removed on destruction.
class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path configHome() const { return root_ / "home/.config"; }
  std::filesystem::path dataHome() const { return root_ / "home/.local/share"; }
  std::filesystem::path tmp() const { return root_ / "tmp"; }

  // The process environment with HOME, XDG_*, TMPDIR pointing here and the desktop session's
  // variables (display, bus, desktop name, browser) removed: what a test's child should see.
  std::vector<std::string> environment() const;
  // Points this process at the home. Only safe before GLib or Qt has read the variables.
  void applyToThisProcess() const;

 private:
  std::filesystem::path root_;
};

inline std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::vector<std::string> readLines(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The file's lines once it holds `count` of them, or what it holds after ten seconds.
inline std::vector<std::string> waitForLines(const std::filesystem::path& path, size_t count) {
  std::vector<std::string> lines;
  for (int i = 0; i < 200 && lines.size() < count; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
    lines = readLines(path);
  }
  return lines;
}

// Writes the file whole, making its folders first.
inline void writeText(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace TestSupport
