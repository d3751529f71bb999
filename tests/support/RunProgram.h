#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace TestSupport {

struct ProgramResult {
  int exitStatus = -1;  // -1 when ended by a signal or still running at the deadline
  int signal = 0;
  bool timedOut = false;
  std::string out;
  std::string err;
};

// Runs a program to completion with the given environment, capturing both output streams.
// A program still running at the deadline is killed and reported as timed out.
ProgramResult runProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         std::chrono::milliseconds deadline = std::chrono::seconds(30));

// The application's executable built beside the tests.
std::string executablePath();

}  // namespace TestSupport
