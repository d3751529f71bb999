#pragma once

#include <string>

namespace TestSupport {

// Writes the test hooks file of the test's home, readable by its owner only, as a test
// harness would.
void writeHooksFile(const std::string& json);
void removeHooksFile();

}  // namespace TestSupport
