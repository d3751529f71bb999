#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace CommandLine {

// Runs the command line (program name already removed) and returns the exit status.
int run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace CommandLine
