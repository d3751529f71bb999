#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "Associations.h"

struct ViewerChoice;

// The command-line switches that change or report the file associations and end the
// process, without an event loop or a window.
namespace AssociationSwitches {

bool isSwitch(const std::vector<std::string>& arguments);
// "--register" and "--unregister" without their list: the process ends with status 2.
bool lacksOperand(const std::vector<std::string>& arguments);

// The clean list of a comma-separated operand: trimmed, lower-cased, one leading dot
// dropped, empty pieces left out; order and duplicates kept.
std::vector<std::string> splitExtensions(const std::string& text);

// Runs the switch the first argument names and returns the exit status. A refused claim
// says why on `err`.
// `viewer`, for --status, is the viewer in use and `builtinInstalled` whether the built-in
// one is there to be used.
int run(const std::vector<std::string>& arguments, Associations::Services& services, const std::string& executablePath,
        std::ostream& out, std::ostream& err, const ViewerChoice* viewer = nullptr, bool builtinInstalled = false);

}  // namespace AssociationSwitches
