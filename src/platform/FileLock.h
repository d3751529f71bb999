#pragma once

#include <chrono>
#include <filesystem>

#include "UniqueFd.h"

// Holds an exclusive lock on a file, shared by every process of ours that changes the
// same data: a read-modify-write under it is not lost to a parallel run. Released when
// destroyed. Without a lock file (a folder that cannot be written), it locks nothing and
// the change goes ahead, as it would have without the lock. A run that holds the lock and
// never lets go (stopped, say) holds up the others for `patience` only: then the lock has
// `timedOut()` and each user decides whether to go on without it.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& path, std::chrono::seconds patience = std::chrono::seconds(30));
  bool timedOut() const { return timedOut_; }

 private:
  UniqueFd fd_;
  bool timedOut_ = false;
};
