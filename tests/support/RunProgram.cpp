#include "RunProgram.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace TestSupport {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// Reads both pipes until they close or the deadline passes; returns false on the deadline.
bool drain(int outFd, int errFd, ProgramResult& result, Clock::time_point deadline) {
  std::array<pollfd, 2> fds{{{outFd, POLLIN, 0}, {errFd, POLLIN, 0}}};
  std::array<std::string*, 2> sinks{&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    int ready = poll(fds.data(), fds.size(), static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return ready == 0 ? false : true;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  return true;
}

}  // namespace

// Starts the program with standard input from /dev/null and standard output (and, when
// errWrite >= 0, standard error) into the given pipe ends, which are closed here.
static pid_t spawnProgram(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment, int outWrite, int errWrite) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outWrite, 1);
  if (errWrite >= 0) posix_spawn_file_actions_adddup2(&actions, errWrite, 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  auto args = argv;
  auto env = environment;
  auto argPointers = pointers(args);
  auto envPointers = pointers(env);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argPointers.data(),
                            envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  close(outWrite);
  if (errWrite >= 0) close(errWrite);
  if (spawned != 0) throw std::runtime_error("cannot start " + args[0]);
  return pid;
}

ProgramResult runProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         std::chrono::milliseconds deadline) {
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  pid_t pid = spawnProgram(argv, environment, outPipe[1], errPipe[1]);
  ProgramResult result;
  result.timedOut = !drain(outPipe[0], errPipe[0], result, Clock::now() + deadline);
  if (result.timedOut) kill(pid, SIGKILL);
  close(outPipe[0]);
  close(errPipe[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

std::string executablePath() { return VEXMOOR_EXECUTABLE; }

}  // namespace TestSupport

namespace TestSupport {

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& argv,
                                     const std::vector<std::string>& environment) {
  int outPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  outFd_ = outPipe[0];
  try {
    pid_ = spawnProgram(argv, environment, outPipe[1], -1);
  } catch (...) {
    close(outFd_);
    throw;
  }
}

BackgroundProgram::~BackgroundProgram() {
  if (!reaped_) stop(SIGKILL);
  close(outFd_);
}

std::string BackgroundProgram::readLine(std::chrono::milliseconds deadline) {
  auto end = Clock::now() + deadline;
  while (pending_.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    pollfd waiting{outFd_, POLLIN, 0};
    if (left.count() <= 0 || poll(&waiting, 1, static_cast<int>(left.count())) <= 0) return "";
    char buffer[4096];
    ssize_t n = read(outFd_, buffer, sizeof buffer);
    if (n <= 0) return "";
    pending_.append(buffer, static_cast<size_t>(n));
  }
  auto newline = pending_.find('\n');
  std::string line = pending_.substr(0, newline);
  pending_.erase(0, newline + 1);
  return line;
}

int BackgroundProgram::stop(int signal) {
  if (reaped_) return -1;
  kill(pid_, signal);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace TestSupport
