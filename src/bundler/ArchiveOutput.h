#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "UniqueFd.h"

// A zip archive of stored entries, written at `path` under a temporary name in the same
// folder that is renamed to `path` only when the archive is complete; one never committed
// leaves nothing behind. File data goes from file to file inside the kernel where it can,
// and each CRC-32 is taken from the bytes as they were written, so it always matches them.
class ArchiveOutput {
 public:
  explicit ArchiveOutput(std::filesystem::path path);
  ~ArchiveOutput();
  ArchiveOutput(const ArchiveOutput&) = delete;
  ArchiveOutput& operator=(const ArchiveOutput&) = delete;

  // False once anything failed: the archive can no longer be committed.
  bool valid() const { return file_.valid() && !failed_; }
  bool has(const std::string& name) const { return names_.count(name) > 0; }
  // The first `length` bytes of the open file `source` (fewer if it ends sooner), with its
  // mode and modification time.
  bool addFile(const std::string& name, int source, std::uint64_t length);
  bool addFolder(const std::string& name);  // `name` ends with '/'
  bool commit();

 private:
  struct Entry {
    std::string name;
    std::uint64_t offset = 0, size = 0;
    std::uint32_t crc = 0, attributes = 0;
    std::uint16_t time = 0, date = 0;
    bool folder = false;
  };
  bool writeAt(const std::string& bytes, std::uint64_t offset);
  std::string localHeader(const Entry& entry, bool zip64) const;
  std::string centralDirectory() const;

  std::filesystem::path path_, temporary_;
  UniqueFd file_;
  std::vector<Entry> entries_;
  std::set<std::string> names_;
  std::uint64_t end_ = 0;  // where the next entry starts
  bool failed_ = false;
};
