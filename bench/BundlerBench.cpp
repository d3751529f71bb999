// Texture scanning and bundle writing beside their references, in one run:
//   scan:   ours vs PCRE2-JIT running the pattern itself over both texts, vs reading the
//           file through a reused buffer, vs a memchr pass, on 64 MiB inputs;
//   bundle: ours (libzip, stored) vs `cp` of the same files vs copying them into a folder
//           and running `zip -0 -r` over it;
//   gltf:   a glTF with its buffer and textures found and bundled vs `cp -r` of them.
// Usage: vexmoor-bundler-bench scan|bundle|gltf WORK_DIR
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "CompanionBundler.h"
#include "ScannerReference.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t inputSize = 64u << 20;

double secondsOf(const std::function<void()>& work, int runs) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    work();
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t readThroughBuffer(const fs::path& path) {
  static std::vector<char> buffer(1 << 20);
  int fd = open(path.c_str(), O_RDONLY);
  size_t total = 0;
  ssize_t n;
  while ((n = read(fd, buffer.data(), buffer.size())) > 0) total += static_cast<size_t>(n);
  close(fd);
  return total;
}

size_t memchrPass(const fs::path& path) {
  static std::vector<char> buffer(1 << 20);
  int fd = open(path.c_str(), O_RDONLY);
  size_t dots = 0;
  ssize_t n;
  while ((n = read(fd, buffer.data(), buffer.size())) > 0) {
    const char* at = buffer.data();
    const char* end = at + n;
    while ((at = static_cast<const char*>(memchr(at, '.', static_cast<size_t>(end - at))))) {
      ++dots;
      ++at;
    }
  }
  close(fd);
  return dots;
}

// The reference finds the same names by building both texts and running the pattern.
size_t pcre2Matches(const fs::path& path) {
  std::string bytes = readFile(path);
  return ScannerReference::pcre2Matches(ScannerReference::textView<1>(bytes)).size() +
         ScannerReference::pcre2Matches(ScannerReference::textView<2>(bytes)).size();
}

std::string repeated(const std::string& unit) {
  std::string text;
  text.reserve(inputSize);
  while (text.size() < inputSize) text += unit;
  text.resize(inputSize);
  return text;
}

std::string randomBytes(std::mt19937_64& random) {
  std::string bytes(inputSize, '\0');
  for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
    uint64_t value = random();
    std::memcpy(&bytes[i], &value, 8);
  }
  return bytes;
}

std::vector<std::pair<std::string, std::string>> scanInputs() {
  std::mt19937_64 random(42);
  std::string base64;
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  base64.resize(inputSize);
  for (size_t i = 0; i < inputSize; ++i) base64[i] = (i % 77 == 76) ? '\n' : alphabet[random() % 64];
  std::string withNames = randomBytes(random);
  for (int i = 0; i < 500; ++i) {
    std::string name = "texture_" + std::to_string(i) + ".png";
    std::string wide;
    for (char c : name) wide += std::string{c, '\0'};
    std::string& form = i % 2 ? name : wide;
    size_t at = (random() % (inputSize - 64)) & ~size_t{1};
    withNames.replace(at, form.size(), form);
  }
  return {{"adversarial", repeated("a.pn b.jp c.bm ")},
          {"lorem", repeated("Lorem ipsum dolor sit amet, consectetur adipiscing elit. Sed do eiusmod tempor. ")},
          {"base64", base64},
          {"random", randomBytes(random)},
          {"random+500 names", withNames}};
}

void benchScan(const fs::path& work) {
  std::printf("%-18s %10s %10s %10s %10s %12s %12s\n", "input (64 MiB)", "ours s", "pcre2-jit s", "read s", "memchr s",
              "pcre2/ours", "ours/read");
  for (const auto& [name, bytes] : scanInputs()) {
    fs::path file = work / "scan-input";
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    double read = secondsOf([&] { readThroughBuffer(file); }, 5);
    double memchr = secondsOf([&] { memchrPass(file); }, 5);
    double ours = secondsOf([&] { CompanionBundler::referencedImageNames(file); }, 5);
    double pcre2 = std::getenv("VEXMOOR_SKIP_PCRE2") ? 1.0 : secondsOf([&] { pcre2Matches(file); }, 1);
    std::printf("%-18s %10.4f %10.3f %10.4f %10.4f %12.0f %12.1f\n", name.c_str(), ours, pcre2, read, memchr,
                pcre2 / ours, ours / read);
  }
}

void benchBundle(const fs::path& work) {
  fs::path source = work / "bundle-source";
  fs::create_directories(source / "textures");
  std::mt19937_64 random(7);
  std::string model(500u << 20, '\0');
  for (size_t i = 0; i + 8 <= model.size(); i += 4096) model[i] = static_cast<char>(random());
  std::vector<fs::path> companions;
  std::string references;
  for (int i = 0; i < 48; ++i) {
    std::string name = "t" + std::to_string(i) + ".png";
    std::string image = std::string("\x89PNG", 4) + std::string((64u << 20) / 48 - 4, static_cast<char>(i));
    std::ofstream(source / "textures" / name, std::ios::binary) << image;
    companions.push_back(source / "textures" / name);
    references += name + "|";
  }
  model.replace(0, references.size(), references);
  std::ofstream(source / "scene.max", std::ios::binary) << model;
  readFile(source / "scene.max");  // warm the page cache

  auto run = [](const std::string& command) {
    if (std::system(command.c_str()) != 0) std::cerr << "failed: " << command << '\n';
  };
  std::string quoted = "'" + source.string() + "'";
  double cp = secondsOf(
      [&] {
        fs::remove_all(work / "cp-copy");
        run("cp -r " + quoted + " '" + (work / "cp-copy").string() + "'");
      },
      5);
  double ours = secondsOf(
      [&] {
        std::vector<CompanionBundler::Companion> opened;
        for (const auto& path : companions) opened.push_back(*CompanionBundler::openCompanion(path, source));
        auto archive = CompanionBundler::writeBundle(source / "scene.max", opened);
        if (archive) CompanionBundler::cleanup(*archive, source / "scene.max");
      },
      5);
  double zip = secondsOf(
      [&] {
        fs::remove_all(work / "zip-copy");
        run("cp -r " + quoted + " '" + (work / "zip-copy").string() + "' && cd '" + (work / "zip-copy").string() +
            "' && zip -0 -q -r ../copy.zip . && rm ../copy.zip");
      },
      3);
  std::printf("bundle of 500 MiB + 48 images (64 MiB): ours %.3f s, cp %.3f s, copy+zip -0 -r %.3f s\n", ours, cp, zip);
  std::printf("ratio ours/cp %.2f, ours/(copy+zip) %.2f\n", ours / cp, ours / zip);
  fs::remove_all(work / "cp-copy");
  fs::remove_all(work / "zip-copy");
}

// A glTF as most tools export it: 50 MB of buffer beside it and 20 textures in a folder,
// 80 MB in all, found and bundled by `prepare` as the application does, beside `cp -r`.
void benchGltf(const fs::path& work) {
  fs::path source = work / "gltf-source";
  fs::create_directories(source / "textures");
  std::string images;
  for (int i = 0; i < 20; ++i) {
    std::string name = "textures/t" + std::to_string(i) + ".png";
    std::ofstream(source / name, std::ios::binary) << std::string("\x89PNG", 4) + std::string(1500000 - 4, 'p');
    images += std::string(i ? "," : "") + "{\"uri\":\"" + name + "\"}";
  }
  std::ofstream(source / "scene.bin", std::ios::binary) << std::string(50000000, 'b');
  std::ofstream(source / "scene.gltf") << "{\"buffers\":[{\"uri\":\"scene.bin\"}],\"images\":[" + images + "]}";
  readFile(source / "scene.bin");  // warm the page cache
  double cp = secondsOf(
      [&] {
        fs::remove_all(work / "cp-copy");
        if (std::system(("cp -r '" + source.string() + "' '" + (work / "cp-copy").string() + "'").c_str()) != 0) {
          std::cerr << "cp failed\n";
        }
      },
      5);
  double ours = secondsOf(
      [&] {
        auto served = CompanionBundler::prepare(source / "scene.gltf");
        if (served == (source / "scene.gltf").string()) std::cerr << "not bundled\n";
        CompanionBundler::cleanup(served, source / "scene.gltf");
      },
      5);
  std::printf("glTF of 50 MB + 20 textures (80 MB): ours (find and bundle) %.3f s, cp -r %.3f s, ratio %.2f\n", ours,
              cp, ours / cp);
  fs::remove_all(work / "cp-copy");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: vexmoor-bundler-bench scan|bundle|gltf WORK_DIR\n";
    return 2;
  }
  std::string mode = argv[1];
  fs::path work = argv[2];
  if (mode == "scan") benchScan(work);
  if (mode == "bundle") benchBundle(work);
  if (mode == "gltf") benchGltf(work);
  return 0;
}
