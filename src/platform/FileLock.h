#pragma once

#include <chrono>
#include <filesystem>

#include "UniqueFd.h"

// Holds an exclusive lock on a file, shared by every process of ours that changes the
// same data: a read-modify-write under it is not lost to a parallel run. Released when
// destroyed. Where the lock file cannot be made, its folder is locked instead; without
// either (a file where the folder belongs) it locks nothing, and the change fails or goes
// ahead as it would have without the lock. A run that holds the lock and never lets go
// (stopped, say) holds up the others for `patience` once per run: then the lock has
// `timedOut()` and each user decides whether to go on without it.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& path, std::chrono::seconds patience = std::chrono::seconds(30));
  bool timedOut() const { return timedOut_; }

 private:
  UniqueFd fd_;
  bool timedOut_ = false;
};
