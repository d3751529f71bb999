#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "CompanionBundler.h"
#include "PatternScanner.h"
#include "Text.h"

namespace CompanionBundler {

namespace {

constexpr size_t maxScannedBytes = 64u << 20;
constexpr size_t readChunk = 1u << 20;
constexpr size_t maxNameLength = 160;
constexpr size_t maxNames = 192;

// The name a match stands for: trimmed, its last path component, if short enough.
std::optional<std::string> nameOf(std::string_view match) {
  auto first = match.find_first_not_of(" \t");
  if (first == std::string_view::npos) return std::nullopt;
  match = match.substr(first, match.find_last_not_of(" \t") - first + 1);
  if (auto slash = match.rfind('/'); slash != std::string_view::npos) {
    match.remove_prefix(slash + 1);
  }
  if (match.size() > maxNameLength) return std::nullopt;
  return std::string(match);
}

// Names in order of first appearance, one per lower-cased key, up to a limit.
class NameList {
 public:
  // False once the list is full.
  bool add(std::string_view match) {
    if (full()) return false;
    if (auto name = nameOf(match)) {
      if (keys_.insert(Text::asciiLowercase(*name)).second) names_.push_back(*name);
    }
    return names_.size() < maxNames;
  }
  bool full() const { return names_.size() >= maxNames; }
  const std::vector<std::string>& names() const { return names_; }

 private:
  std::set<std::string> keys_;
  std::vector<std::string> names_;
};

// Both views of the file are scanned in the buffer the file is read into, so no byte is
// copied; the 16-bit view's names are kept apart because every 8-bit name comes first.
class TwoViewScan {
 public:
  // Scans `window`, which starts at byte `windowStart` of the file and ends where the file
  // has been read to. False once more bytes cannot change the result.
  bool scan(std::string_view window, size_t windowStart, bool last) {
    windowStart_ = windowStart;
    ascii_.scan(window, windowStart, last, [this](std::string_view m) { return asciiNames_.add(m); });
    if (asciiNames_.full()) return false;
    if (!utf16Names_.full()) {
      utf16_.scan(window, windowStart, last, [this](std::string_view m) { return utf16Names_.add(m); });
    }
    return true;
  }

  // The first byte of the file a later scan may still look at; even, as the 16-bit view needs.
  size_t keepFrom() const {
    size_t keep = ascii_.keepFrom();
    if (!utf16Names_.full()) keep = std::min(keep, utf16_.keepFrom());
    return std::max(keep & ~size_t{1}, windowStart_);
  }

  std::vector<std::string> result() {
    NameList merged;
    for (const auto& name : asciiNames_.names()) merged.add(name);
    for (const auto& name : utf16Names_.names()) {
      if (!merged.add(name)) break;
    }
    return merged.names();
  }

 private:
  size_t windowStart_ = 0;
  PatternScanner<1> ascii_;
  PatternScanner<2> utf16_;
  NameList asciiNames_, utf16Names_;
};

// A piece of the file, read after room for the few hundred bytes the scan keeps from the
// piece before.
struct Piece {
  static constexpr size_t keepRoom = 64u << 10;
  std::unique_ptr<char[]> buffer;
  size_t size = 0;
  bool filled = false, last = false, failed = false;
  char* data() { return buffer.get() + keepRoom; }
};

// Each thread keeps its last scan's memory for the next: fresh memory costs a page fault a page.
thread_local std::unique_ptr<char[]> spareBuffers[2];

// Reads the file's first 64 MiB a piece at a time into two pieces in turn. A file of more
// than one piece is read on a thread of its own while the piece before is scanned: reading
// and scanning take about as long each.
class PieceReader {
 public:
  explicit PieceReader(int file, size_t size) : file_(file) {
    for (size_t k = 0; k < 2; ++k) {
      pieces_[k].buffer =
          spareBuffers[k] ? std::move(spareBuffers[k]) : std::unique_ptr<char[]>(new char[Piece::keepRoom + readChunk]);
    }
    if (size <= readChunk) return;
    try {
      thread_ = std::thread([this] {
        for (size_t k = 0; read(k, true); k ^= 1) {
        }
      });
      threaded_ = true;
    } catch (const std::system_error&) {
    }
  }
  ~PieceReader() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    for (size_t k = 0; k < 2; ++k) spareBuffers[k] = std::move(pieces_[k].buffer);
  }

  // Piece `k` (0 or 1), once read.
  Piece& next(size_t k) {
    if (!threaded_) {
      read(k, false);
      return pieces_[k];
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return pieces_[k].filled; });
    return pieces_[k];
  }
  // Piece `k` is scanned and what the scan keeps of it copied: it may be read into again.
  void release(size_t k) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pieces_[k].filled = false;
    }
    changed_.notify_all();
  }

 private:
  // False when nothing follows.
  bool read(size_t k, bool wait) {
    Piece& piece = pieces_[k];
    if (wait) {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return !piece.filled || stopped_; });
      if (stopped_) return false;
    }
    ssize_t n;
    do {
      n = ::read(file_, piece.data(), std::min(readChunk, maxScannedBytes - total_));
    } while (n < 0 && errno == EINTR);
    total_ += n > 0 ? static_cast<size_t>(n) : 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      piece.size = n > 0 ? static_cast<size_t>(n) : 0;
      piece.failed = n < 0;
      piece.last = n <= 0 || total_ >= maxScannedBytes;
      piece.filled = true;
    }
    changed_.notify_all();
    return !piece.last;
  }

  int file_;
  size_t total_ = 0;  // touched by the reading thread only
  Piece pieces_[2];
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopped_ = false;
  bool threaded_ = false;
  std::thread thread_;
};

}  // namespace

std::vector<std::string> referencedImageNames(const std::string& path) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat info {};
  if (!file.valid() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
  TwoViewScan scan;
  PieceReader reader(file.get(), static_cast<size_t>(info.st_size));
  size_t readTo = 0;  // file offset where the next piece starts
  std::string_view kept;
  for (size_t k = 0;; k ^= 1) {
    Piece& piece = reader.next(k);
    if (piece.failed) return {};
    if (!kept.empty()) std::memcpy(piece.data() - kept.size(), kept.data(), kept.size());
    if (readTo > 0) reader.release(k ^ 1);
    std::string_view window(piece.data() - kept.size(), kept.size() + piece.size);
    size_t windowStart = readTo - kept.size();
    readTo += piece.size;
    if (readTo == 0) return {};
    if (!scan.scan(window, windowStart, piece.last) || piece.last) break;
    kept = window.substr(scan.keepFrom() - windowStart);
    if (kept.size() > Piece::keepRoom) break;  // never: a scan keeps less than a kilobyte
  }
  return scan.result();
}

}  // namespace CompanionBundler
