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

namespace TestSupport {

// A program left running while the test talks to it. Killed on destruction.
class BackgroundProgram {
 public:
  BackgroundProgram(const std::vector<std::string>& argv,
                    const std::vector<std::string>& environment);
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  int pid() const { return pid_; }
  // The next line of standard output without its newline, or "" at the deadline or the end.
  std::string readLine(std::chrono::milliseconds deadline = std::chrono::seconds(20));
  // Sends the signal and waits for the program; returns its exit status (-1 for a signal).
  int stop(int signal);

 private:
  int pid_ = -1;
  int outFd_ = -1;
  std::string pending_;
  bool reaped_ = false;
};

}  // namespace TestSupport
