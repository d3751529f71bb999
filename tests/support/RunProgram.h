#pragma once

#include <string>
#include <vector>

namespace TestSupport {

struct ProgramResult {
  int exitStatus = -1;  // -1 when ended by a signal
  std::string out;
  std::string err;
};

// Runs a program to its end with the given environment and standard input from /dev/null.
ProgramResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment);

// The application's executable built beside the tests.
std::string executablePath();

// A program left running while the test talks to it; standard error is the test's own.
// Killed on destruction.
class BackgroundProgram {
 public:
  BackgroundProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment);
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  // The next line of standard output, or "" after 20 seconds or at its end.
  std::string readLine();
  // Sends the signal (none for 0) and waits for the program; its exit status, -1 for a signal.
  int stop(int signal);
  void signal(int signal);

 private:
  int pid_ = -1;
  int outFd_ = -1;
  std::string pending_;
};

}  // namespace TestSupport
