// Texture scanning and bundle writing beside their references, in one run; ours and each
// reference run alternately, round after round, and every row gives the median of the
// per-round ratios with their range (lowest-highest):
//   scan:   ours vs reading the file through a reused buffer, on 64 MiB inputs (and, once,
//           PCRE2-JIT running the pattern itself over both texts, unless VEXMOOR_SKIP_PCRE2);
//   bundle: ours (stored zip) vs `cp` of the same files vs copying them into a folder and
//           running `zip -0 -r` over it;
//   gltf:   a glTF with its buffer and textures found and bundled vs `cp -r` of them.
// Usage: vexmoor-bundler-bench scan|bundle|gltf WORK_DIR [ROUNDS]
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
int rounds = 7;

double secondsOf(const std::function<void()>& work, int repeats = 1) {
  auto start = Clock::now();
  for (int i = 0; i < repeats; ++i) work();
  return std::chrono::duration<double>(Clock::now() - start).count() / repeats;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Ours and the reference in turn, which goes first swapped every round; each timing is the
// mean of `repeats` runs, for work too short to time once.
void compare(const std::string& row, const std::string& reference, const std::function<void()>& ours,
             const std::function<void()>& theirs, int repeats = 1) {
  std::vector<double> oursTimes, theirTimes, ratios;
  for (int round = 0; round < rounds; ++round) {
    double a, b;
    if (round % 2) {
      b = secondsOf(theirs, repeats);
      a = secondsOf(ours, repeats);
    } else {
      a = secondsOf(ours, repeats);
      b = secondsOf(theirs, repeats);
    }
    oursTimes.push_back(a);
    theirTimes.push_back(b);
    ratios.push_back(a / b);
  }
  auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
  std::printf("%-34s ours %8.4f s  %-14s %8.4f s  ours/ref %.2f  (%.2f-%.2f, %d rounds)\n", row.c_str(),
              median(oursTimes), reference.c_str(), median(theirTimes), median(ratios), *low, *high, rounds);
  std::fflush(stdout);
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
  for (const auto& [name, bytes] : scanInputs()) {
    fs::path file = work / "scan-input";
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    readThroughBuffer(file);  // warm the page cache
    compare(
        "scan 64 MiB, " + name, "read pass", [&] { CompanionBundler::referencedImageNames(file); },
        [&] { readThroughBuffer(file); }, 5);
    if (!std::getenv("VEXMOOR_SKIP_PCRE2")) {
      double ours = secondsOf([&] { CompanionBundler::referencedImageNames(file); }, 5);
      std::printf("%-34s pcre2-jit/ours %.0f\n", "", secondsOf([&] { pcre2Matches(file); }) / ours);
    }
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
  auto ours = [&] {
    std::vector<CompanionBundler::Companion> opened;
    for (const auto& path : companions) opened.push_back(*CompanionBundler::openCompanion(path, source));
    auto archive = CompanionBundler::writeBundle(source / "scene.max", opened);
    if (archive) CompanionBundler::cleanup(*archive, source / "scene.max");
  };
  compare("bundle, 500 MiB + 48 images", "cp", ours, [&] {
    fs::remove_all(work / "cp-copy");
    run("cp -r " + quoted + " '" + (work / "cp-copy").string() + "'");
  });
  compare("bundle, 500 MiB + 48 images", "copy+zip -0 -r", ours, [&] {
    fs::remove_all(work / "zip-copy");
    run("cp -r " + quoted + " '" + (work / "zip-copy").string() + "' && cd '" + (work / "zip-copy").string() +
        "' && zip -0 -q -r ../copy.zip . && rm ../copy.zip");
  });
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
  compare(
      "glTF 50 MB + 20 textures, found", "cp -r",
      [&] {
        auto served = CompanionBundler::prepare(source / "scene.gltf");
        if (served == (source / "scene.gltf").string()) std::cerr << "not bundled\n";
        CompanionBundler::cleanup(served, source / "scene.gltf");
      },
      [&] {
        fs::remove_all(work / "cp-copy");
        if (std::system(("cp -r '" + source.string() + "' '" + (work / "cp-copy").string() + "'").c_str()) != 0) {
          std::cerr << "cp failed\n";
        }
      });
  fs::remove_all(work / "cp-copy");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: vexmoor-bundler-bench scan|bundle|gltf WORK_DIR [ROUNDS]\n";
    return 2;
  }
  if (argc > 3) rounds = std::max(5, std::atoi(argv[3]));
  std::string mode = argv[1];
  fs::path work = argv[2];
  if (mode == "scan") benchScan(work);
  if (mode == "bundle") benchBundle(work);
  if (mode == "gltf") benchGltf(work);
  return 0;
}
