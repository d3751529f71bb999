#pragma once

#include <filesystem>

#include "UniqueFd.h"

// Holds an exclusive lock on a file, shared by every process of ours that changes the
// same data: a read-modify-write under it is not lost to a parallel run. Released when
// destroyed. Without a lock file (a folder that cannot be written), it locks nothing and
// the change goes ahead, as it would have without the lock.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& path);

 private:
  UniqueFd fd_;
};
