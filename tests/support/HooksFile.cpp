#include "HooksFile.h"

#include <filesystem>
#include <fstream>

#include "Hooks.h"

namespace fs = std::filesystem;

namespace TestSupport {

void writeHooksFile(const std::string& json) {
  fs::create_directories(fs::path(Hooks::path()).parent_path());
  std::ofstream(Hooks::path(), std::ios::trunc) << json;
  fs::permissions(Hooks::path(), fs::perms::owner_read | fs::perms::owner_write);
}

void removeHooksFile() { fs::remove(Hooks::path()); }

}  // namespace TestSupport
