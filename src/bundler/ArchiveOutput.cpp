#include "ArchiveOutput.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace {

constexpr std::uint64_t block = 1u << 20;
constexpr std::uint64_t followFrom = 8u << 20;  // entries this large have their CRC taken alongside
constexpr std::uint32_t noFit32 = 0xFFFFFFFFu;
constexpr std::uint16_t utf8Name = 1u << 11;
constexpr std::uint16_t madeByUnix = (3u << 8) | 63;

void put16(std::string& out, std::uint32_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>((value >> 8) & 0xFF);
}
void put32(std::string& out, std::uint32_t value) {
  put16(out, value & 0xFFFF);
  put16(out, value >> 16);
}
void put64(std::string& out, std::uint64_t value) {
  put32(out, static_cast<std::uint32_t>(value));
  put32(out, static_cast<std::uint32_t>(value >> 32));
}
std::uint32_t fit32(std::uint64_t value) { return value >= noFit32 ? noFit32 : static_cast<std::uint32_t>(value); }

std::uint16_t flagsFor(const std::string& name) {
  bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) return 0;
  QByteArray bytes(name.data(), static_cast<qsizetype>(name.size()));
  return QString::fromUtf8(bytes).toUtf8() == bytes ? utf8Name : 0;
}

void setDosTime(std::time_t when, std::uint16_t& time, std::uint16_t& date) {
  std::tm local{};
  if (!localtime_r(&when, &local) || local.tm_year < 80) {
    time = 0;
    date = (1u << 5) | 1;  // 1980-01-01, the earliest a zip can say
    return;
  }
  if (local.tm_year > 80 + 127) {  // 2107-12-31 23:59:58, the latest
    time = 23 << 11 | 59 << 5 | 29;
    date = 127 << 9 | 12 << 5 | 31;
    return;
  }
  time = static_cast<std::uint16_t>(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2);
  date = static_cast<std::uint16_t>((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
}

// Positional reads and writes may stop short: repeated until all of `length` is done.
template <typename Byte, typename Io>
bool wholly(Io io, int fd, Byte* data, size_t length, std::uint64_t offset) {
  while (length > 0) {
    ssize_t n = io(fd, data, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool readAll(int fd, char* data, size_t length, std::uint64_t offset) {
  return wholly(::pread, fd, data, length, offset);
}

bool writeAll(int fd, const char* data, size_t length, std::uint64_t offset) {
  return wholly(::pwrite, fd, data, length, offset);
}

struct Copied {
  std::uint64_t bytes = 0;
  std::uint32_t crc = 0;
  bool failed = false;
};

// Adds to `crc` the entry's bytes [from, end), which start at `to` in `out`: read back, or
// zeros for a hole, which are not read so as not to fill memory with them.
bool addCrc(int out, std::uint64_t to, std::uint64_t from, std::uint64_t end, bool hole, std::vector<char>& buffer,
            std::uint32_t& crc) {
  if (hole) std::fill(buffer.begin(), buffer.end(), 0);
  while (from < end) {
    auto piece = static_cast<size_t>(std::min<std::uint64_t>(buffer.size(), end - from));
    if (!hole && !readAll(out, buffer.data(), piece, to + from)) return false;
    crc = libdeflate_crc32(crc, buffer.data(), piece);
    from += piece;
  }
  return true;
}

// How far the copy of a large entry has come, for a second thread that takes the CRC of the
// bytes copied so far while the first copies on.
class Progress {
 public:
  // The entry's first `copied` bytes are in place, those in [holeStart, copied) a hole if any.
  void advance(std::uint64_t copied, bool finished, std::optional<std::uint64_t> holeStart = std::nullopt) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (holeStart) holes_.emplace_back(*holeStart, copied);
      copied_ = copied;
      finished_ = finished;
    }
    moved_.notify_one();
  }

  // The CRC of the entry's bytes at `to` in `out` up to where the copy finished; false when
  // they could not be read back.
  bool check(int out, std::uint64_t to, std::uint32_t& crc) {
    std::vector<char> buffer(block);
    std::uint64_t done = 0;
    std::deque<std::pair<std::uint64_t, std::uint64_t>> holes;
    for (;;) {
      std::uint64_t copied;
      bool finished;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        moved_.wait(lock, [&] { return copied_ > done || finished_; });
        copied = copied_;
        finished = finished_;
        holes.insert(holes.end(), holes_.begin(), holes_.end());
        holes_.clear();
      }
      while (done < copied) {
        bool hole = !holes.empty() && holes.front().first <= done;
        std::uint64_t end = hole ? holes.front().second : holes.empty() ? copied : holes.front().first;
        if (hole) holes.pop_front();
        if (!addCrc(out, to, done, end, hole, buffer, crc)) return false;
        done = end;
      }
      if (finished) return true;
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable moved_;
  std::uint64_t copied_ = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> holes_;
  bool finished_ = false;
};

// Where the next hole in the file starts at or after `from`, or `length`.
std::uint64_t holeFrom(int file, std::uint64_t from, std::uint64_t length) {
  off_t hole = ::lseek(file, static_cast<off_t>(from), SEEK_HOLE);
  return hole < 0 ? length : std::min(length, static_cast<std::uint64_t>(hole));
}

// Where data follows the hole at `from`: `from` itself when the file ends there.
std::optional<std::uint64_t> dataFrom(int file, std::uint64_t from, std::uint64_t length) {
  off_t data = ::lseek(file, static_cast<off_t>(from), SEEK_DATA);
  if (data >= 0) return std::min(length, static_cast<std::uint64_t>(data));
  struct stat info {};
  if (errno != ENXIO || ::fstat(file, &info) != 0) return std::nullopt;
  return std::clamp(static_cast<std::uint64_t>(info.st_size), from, length);  // a hole up to the end
}

// Copies up to `length` bytes from the start of `source` to `to` in `out`, by the kernel
// where the file systems allow it, else through a buffer; holes stay holes. The CRC is of
// the bytes written, taken here or, given `progress`, by the thread that follows it.
Copied copyRange(int source, int out, std::uint64_t to, std::uint64_t length, Progress* progress) {
  Copied copied;
  std::vector<char> buffer(static_cast<size_t>(std::min(block, length)));
  bool byKernel = true;
  std::uint64_t hole = holeFrom(source, 0, length);
  while (copied.bytes < length) {
    std::uint64_t at = to + copied.bytes;
    if (copied.bytes == hole) {
      auto data = dataFrom(source, copied.bytes, length);
      if (data && *data == copied.bytes) break;  // the file ends sooner
      if (!data || ::ftruncate(out, static_cast<off_t>(to + *data)) != 0 ||
          (!progress && !addCrc(out, to, copied.bytes, *data, true, buffer, copied.crc))) {
        copied.failed = true;
        break;
      }
      if (progress) progress->advance(*data, false, copied.bytes);
      copied.bytes = *data;
      hole = holeFrom(source, copied.bytes, length);
      continue;
    }
    auto want = static_cast<size_t>(std::min({block, length - copied.bytes, hole - copied.bytes}));
    ssize_t n;
    if (byKernel) {
      auto in = static_cast<off_t>(copied.bytes), outAt = static_cast<off_t>(at);
      n = ::copy_file_range(source, &in, out, &outAt, want, 0);
      if (n < 0 && errno == EINTR) continue;
      // Not between these files, or nothing where the file system only seems empty.
      if ((n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)) || n == 0) {
        byKernel = false;
        continue;
      }
      if (n > 0 && !progress &&
          !addCrc(out, to, copied.bytes, copied.bytes + static_cast<std::uint64_t>(n), false, buffer, copied.crc)) {
        n = -1;
      }
    } else {
      n = ::pread(source, buffer.data(), want, static_cast<off_t>(copied.bytes));
      if (n < 0 && errno == EINTR) continue;
      if (n > 0 && !writeAll(out, buffer.data(), static_cast<size_t>(n), at)) n = -1;
      if (n > 0 && !progress) copied.crc = libdeflate_crc32(copied.crc, buffer.data(), static_cast<size_t>(n));
    }
    if (n < 0) {
      copied.failed = true;
      break;
    }
    if (n == 0) break;  // the file ends sooner
    copied.bytes += static_cast<std::uint64_t>(n);
    if (progress) progress->advance(copied.bytes, false);
  }
  if (progress) progress->advance(copied.bytes, true);
  return copied;
}

Copied copyData(int source, int out, std::uint64_t to, std::uint64_t length) {
  if (length < followFrom) return copyRange(source, out, to, length, nullptr);
  Progress progress;
  std::uint32_t crc = 0;
  bool checked = false;
  std::thread checker;
  try {
    checker = std::thread([&] { checked = progress.check(out, to, crc); });
  } catch (const std::system_error&) {
    return copyRange(source, out, to, length, nullptr);
  }
  Copied copied = copyRange(source, out, to, length, &progress);
  checker.join();
  copied.crc = crc;
  copied.failed = copied.failed || !checked;
  return copied;
}

}  // namespace

ArchiveOutput::ArchiveOutput(std::filesystem::path path)
    : path_(std::move(path)),
      temporary_(path_.parent_path() / ("." + path_.filename().string() + ".part")),
      file_(::open(temporary_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600)) {}

ArchiveOutput::~ArchiveOutput() {
  if (!file_.valid()) return;
  file_.reset();
  ::unlink(temporary_.c_str());
}

bool ArchiveOutput::writeAt(const std::string& bytes, std::uint64_t offset) {
  if (!writeAll(file_.get(), bytes.data(), bytes.size(), offset)) failed_ = true;
  return !failed_;
}

std::string ArchiveOutput::localHeader(const Entry& entry, bool zip64) const {
  std::string out;
  put32(out, 0x04034b50);
  put16(out, zip64 ? 45 : entry.folder ? 20 : 10);
  put16(out, flagsFor(entry.name));
  put16(out, 0);  // stored
  put16(out, entry.time);
  put16(out, entry.date);
  put32(out, entry.crc);
  put32(out, zip64 ? noFit32 : static_cast<std::uint32_t>(entry.size));
  put32(out, zip64 ? noFit32 : static_cast<std::uint32_t>(entry.size));
  put16(out, static_cast<std::uint32_t>(entry.name.size()));
  put16(out, zip64 ? 20 : 0);
  out += entry.name;
  if (zip64) {
    put16(out, 1);
    put16(out, 16);
    put64(out, entry.size);
    put64(out, entry.size);
  }
  return out;
}

bool ArchiveOutput::addFile(const std::string& name, int source, std::uint64_t length) {
  struct stat info {};
  if (!valid() || has(name) || name.size() > 0xFFFF || ::fstat(source, &info) != 0) return false;
  Entry entry;
  entry.name = name;
  entry.offset = end_;
  entry.attributes = static_cast<std::uint32_t>(info.st_mode & 0xFFFF) << 16;
  setDosTime(info.st_mtime, entry.time, entry.date);
  bool zip64 = length >= noFit32;
  std::uint64_t data = end_ + localHeader(entry, zip64).size();
  Copied copied = copyData(source, file_.get(), data, length);
  if (copied.failed) return !(failed_ = true);
  entry.size = copied.bytes;
  entry.crc = copied.crc;
  if (!writeAt(localHeader(entry, zip64), end_)) return false;
  end_ = data + entry.size;
  names_.insert(name);
  entries_.push_back(std::move(entry));
  return true;
}

bool ArchiveOutput::addFolder(const std::string& name) {
  if (!valid() || has(name) || name.size() > 0xFFFF) return false;
  Entry entry;
  entry.name = name;
  entry.offset = end_;
  entry.folder = true;
  entry.attributes = 040777u << 16;
  setDosTime(std::time(nullptr), entry.time, entry.date);
  std::string header = localHeader(entry, false);
  if (!writeAt(header, end_)) return false;
  end_ += header.size();
  names_.insert(name);
  entries_.push_back(std::move(entry));
  return true;
}

std::string ArchiveOutput::centralDirectory() const {
  std::string out;
  for (const auto& entry : entries_) {
    std::string extra;
    if (entry.size >= noFit32) {
      put64(extra, entry.size);
      put64(extra, entry.size);
    }
    if (entry.offset >= noFit32) put64(extra, entry.offset);
    if (!extra.empty()) {
      std::string field;
      put16(field, 1);
      put16(field, static_cast<std::uint32_t>(extra.size()));
      extra = field + extra;
    }
    put32(out, 0x02014b50);
    put16(out, madeByUnix);
    put16(out, !extra.empty() ? 45 : entry.folder ? 20 : 10);
    put16(out, flagsFor(entry.name));
    put16(out, 0);
    put16(out, entry.time);
    put16(out, entry.date);
    put32(out, entry.crc);
    put32(out, fit32(entry.size));
    put32(out, fit32(entry.size));
    put16(out, static_cast<std::uint32_t>(entry.name.size()));
    put16(out, static_cast<std::uint32_t>(extra.size()));
    put16(out, 0);  // comment
    put16(out, 0);  // disk
    put16(out, 0);  // internal attributes
    put32(out, entry.attributes);
    put32(out, fit32(entry.offset));
    out += entry.name;
    out += extra;
  }
  std::uint64_t size = out.size(), count = entries_.size();
  if (count >= 0xFFFF || size >= noFit32 || end_ >= noFit32) {
    std::uint64_t record = end_ + size;
    put32(out, 0x06064b50);
    put64(out, 44);
    put16(out, madeByUnix);
    put16(out, 45);
    put32(out, 0);
    put32(out, 0);
    put64(out, count);
    put64(out, count);
    put64(out, size);
    put64(out, end_);
    put32(out, 0x07064b50);
    put32(out, 0);
    put64(out, record);
    put32(out, 1);
  }
  put32(out, 0x06054b50);
  put32(out, 0);  // disks
  put16(out, static_cast<std::uint32_t>(std::min<std::uint64_t>(count, 0xFFFF)));
  put16(out, static_cast<std::uint32_t>(std::min<std::uint64_t>(count, 0xFFFF)));
  put32(out, fit32(size));
  put32(out, fit32(end_));
  put16(out, 0);  // comment
  return out;
}

// The archive appears under its name only once it is whole, and never replaces a file.
bool ArchiveOutput::commit() {
  if (!valid()) return false;
  std::string tail = centralDirectory();
  bool written = writeAt(tail, end_) && ::ftruncate(file_.get(), static_cast<off_t>(end_ + tail.size())) == 0;
  int closed = file_.close();
  bool linked = written && closed == 0 && ::link(temporary_.c_str(), path_.c_str()) == 0;
  ::unlink(temporary_.c_str());
  return linked;
}
