#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

// How the application was asked to start.
struct Mode {
  enum class Kind { serve, manage, awaitDocument };
  Kind kind = Kind::awaitDocument;
  std::vector<std::string> paths;  // serve: every file, exactly as given
  bool setup = false;              // manage: "--setup" rather than "--manage"
  bool noBrowser = false;          // serve: the addresses go to standard output instead
  int port = 0;                    // serve: the first file's port, the next file's one more; 0: any
};

namespace CommandLine {

// The arguments without the program name and without "-psn_" arguments, in order.
std::vector<std::string> cleanArguments(int argc, char** argv);

// Takes "--viewer VALUE" or "--viewer=VALUE" out of the arguments into `value`. False when
// "--viewer" comes without a value.
bool takeViewerOption(std::vector<std::string>& arguments, std::optional<std::string>& value);

Mode modeFor(const std::vector<std::string>& arguments);

// What is wrong with the arguments, said for the terminal, or "" when nothing is.
std::string usageError(const std::vector<std::string>& arguments);

// Handles what is answered on the terminal alone (--help, --version, a usage error, and the
// window asked for without a display). Returns the exit status, or -1 when the application
// should start.
int runTerminalOnly(const std::vector<std::string>& arguments, bool graphical, std::ostream& out, std::ostream& err);

// "USER@HOST" for the tunnel to this computer, from the SSH_CONNECTION value and the
// account's name; "" when not over SSH or the address is not one. A name that is not a plain
// one is left out, so nothing from the environment reaches the terminal but an address.
std::string sshTarget(const char* sshConnection, const std::string& accountName);

}  // namespace CommandLine
