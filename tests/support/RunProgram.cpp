#include "RunProgram.h"

#include <glib.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

namespace TestSupport {

namespace {

// GLib wants NULL-terminated arrays of C strings.
std::vector<char*> pointers(const std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (const auto& s : strings) result.push_back(const_cast<char*>(s.c_str()));
  result.push_back(nullptr);
  return result;
}

int exitStatusOf(int waitStatus) { return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1; }

}  // namespace

ProgramResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  auto args = pointers(argv), env = pointers(environment);
  gchar *out = nullptr, *err = nullptr;
  gint waitStatus = 0;
  if (!g_spawn_sync(nullptr, args.data(), env.data(), G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err, &waitStatus,
                    nullptr)) {
    throw std::runtime_error("cannot start " + argv[0]);
  }
  ProgramResult result{exitStatusOf(waitStatus), out, err};
  g_free(out);
  g_free(err);
  return result;
}

std::string executablePath() { return VEXMOOR_EXECUTABLE; }

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& argv,
                                     const std::vector<std::string>& environment) {
  auto args = pointers(argv), env = pointers(environment);
  GPid pid = 0;
  if (!g_spawn_async_with_pipes(nullptr, args.data(), env.data(), G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid,
                                nullptr, &outFd_, nullptr, nullptr)) {
    throw std::runtime_error("cannot start " + argv[0]);
  }
  pid_ = pid;
}

BackgroundProgram::~BackgroundProgram() {
  stop(SIGKILL);
  ::close(outFd_);
}

std::string BackgroundProgram::readLine() {
  while (pending_.find('\n') == std::string::npos) {
    pollfd waiting{outFd_, POLLIN, 0};
    char buffer[4096];
    ssize_t n = poll(&waiting, 1, 20000) > 0 ? ::read(outFd_, buffer, sizeof buffer) : 0;
    if (n <= 0) return "";
    pending_.append(buffer, static_cast<size_t>(n));
  }
  std::string line = pending_.substr(0, pending_.find('\n'));
  pending_.erase(0, line.size() + 1);
  return line;
}

void BackgroundProgram::signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

int BackgroundProgram::stop(int signal) {
  if (pid_ < 0) return -1;
  if (signal) ::kill(pid_, signal);
  int waitStatus = 0;
  while (waitpid(pid_, &waitStatus, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return exitStatusOf(waitStatus);
}

}  // namespace TestSupport
