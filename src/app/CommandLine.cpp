#include "CommandLine.h"

#include <algorithm>
#include <array>
#include <ostream>

#include "BuildInfo.h"

namespace CommandLine {

namespace {

constexpr const char* usage =
    "Usage: vexmoor-3dviewer [FILE...]\n"
    "Opens 3D models and CAD files in the Vexmoor web viewer, served from this computer.\n"
    "Without a file, shows the window that chooses which file types it opens.\n"
    "\n"
    "  --setup                    show that window with every type no one else opens checked\n"
    "  --manage                   show that window with the types it opens now checked\n"
    "  --register EXT[,EXT...]    make this application open these file types\n"
    "  --unregister EXT[,EXT...]  give these types back to the application that had them\n"
    "  --register-unowned         open every type no other application opens\n"
    "  --unregister-all           give back every type and forget all settings\n"
    "  --status                   report the declared types and who opens them, and the viewer, as JSON\n"
    "  --viewer builtin|URL       use the viewer built into the application, or the one at URL, this time\n"
    "  --help                     show this text\n"
    "  --version                  show the version\n";

}  // namespace

std::vector<std::string> cleanArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument.rfind("-psn_", 0) != 0) arguments.push_back(argument);
  }
  return arguments;
}

bool takeViewerOption(std::vector<std::string>& arguments, std::optional<std::string>& value) {
  constexpr std::string_view option = "--viewer";
  for (auto it = arguments.begin(); it != arguments.end(); ++it) {
    if (*it == option) {
      if (std::next(it) == arguments.end()) return false;
      value = *std::next(it);
      arguments.erase(it, std::next(it, 2));
      return true;
    }
    if (it->starts_with(std::string(option) + "=")) {
      value = it->substr(option.size() + 1);
      arguments.erase(it);
      return true;
    }
  }
  return true;
}

Mode modeFor(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return {Mode::Kind::awaitDocument, {}, false};
  const std::string& first = arguments.front();
  if (first == "--setup") return {Mode::Kind::manage, {}, true};
  if (first == "--manage") return {Mode::Kind::manage, {}, false};
  return {Mode::Kind::serve, arguments, false};
}

int runTerminalOnly(const std::vector<std::string>& arguments, bool graphical, std::ostream& out, std::ostream& err) {
  std::string first = arguments.empty() ? "" : arguments.front();
  if (first == "--version") {
    out << BuildInfo::version << '\n';
    return 0;
  }
  if (first == "--help") {
    out << usage;
    return 0;
  }
  if (!graphical && modeFor(arguments).kind != Mode::Kind::serve) {
    err << "vexmoor-3dviewer: the file types window needs a display; from a terminal, use "
           "--register, --unregister or --status (see --help)\n";
    return 1;
  }
  return -1;
}

}  // namespace CommandLine
