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
};

namespace CommandLine {

// The arguments without the program name and without "-psn_" arguments, in order.
std::vector<std::string> cleanArguments(int argc, char** argv);

// Takes "--viewer VALUE" or "--viewer=VALUE" out of the arguments into `value`. False when
// "--viewer" comes without a value.
bool takeViewerOption(std::vector<std::string>& arguments, std::optional<std::string>& value);

Mode modeFor(const std::vector<std::string>& arguments);

// Handles what is answered on the terminal alone (--help, --version, and the window asked
// for without a display). Returns the exit status, or -1 when the application should start.
int runTerminalOnly(const std::vector<std::string>& arguments, bool graphical, std::ostream& out, std::ostream& err);

}  // namespace CommandLine
