#include "DescriptorLimit.h"

#include <sys/resource.h>

#include <mutex>

namespace DescriptorLimit {

namespace {

std::once_flag remembered;
rlimit startingLimit{};
bool haveStartingLimit = false;

}  // namespace

void raiseForServing() {
  std::call_once(remembered, [] { haveStartingLimit = getrlimit(RLIMIT_NOFILE, &startingLimit) == 0; });
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

void restoreInChild(void*) {
  if (haveStartingLimit) setrlimit(RLIMIT_NOFILE, &startingLimit);
}

}  // namespace DescriptorLimit
