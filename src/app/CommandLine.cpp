#include "CommandLine.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <ostream>
#include <sstream>

#include "BuildInfo.h"
#include "Text.h"

namespace CommandLine {

namespace {

constexpr const char* usage =
    "Usage: vexmoor-3dviewer [--no-browser] [--port N] [--viewer builtin|URL] [--] [FILE...]\n"
    "Opens 3D models and CAD files in the Vexmoor web viewer, served from this computer.\n"
    "Without a file, shows the window that chooses which file types it opens.\n"
    "\n"
    "  --no-browser               print each file's address instead of opening a browser (as\n"
    "                             without a display); over SSH, also the tunnel that reaches it\n"
    "  --port N                   serve on 127.0.0.1:N, the next files on N+1, N+2...\n"
    "  --                         what follows are files, even when they begin with '-'\n"
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

constexpr std::array<const char*, 9> leadingSwitches{
    "--setup",          "--manage", "--register", "--unregister", "--register-unowned",
    "--unregister-all", "--status", "--help",     "--version"};

struct Parsed {
  Mode mode;
  std::string error;
};

// An argument as the terminal may show it: control characters would act on the terminal.
std::string shown(const std::string& text) { return "'" + Text::printable(text, 200) + "'"; }

// Decimal digits only: no sign, no space, no suffix, nothing past the last port.
int portNumber(const std::string& text) {
  if (text.empty() || text.size() > 5 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return 0;
  }
  int port = std::stoi(text);
  return port <= 65535 ? port : 0;
}

Parsed parse(const std::vector<std::string>& arguments) {
  Parsed parsed;
  Mode& mode = parsed.mode;
  if (arguments.empty()) return parsed;
  const std::string& first = arguments.front();
  if (first == "--setup" || first == "--manage") {
    mode = {Mode::Kind::manage, {}, first == "--setup"};
    return parsed;
  }
  bool optionsEnded = false;
  for (size_t at = 0; at < arguments.size() && parsed.error.empty(); ++at) {
    const std::string& argument = arguments[at];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      mode.paths.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--no-browser") {
      mode.noBrowser = true;
    } else if (argument == "--port" || argument.rfind("--port=", 0) == 0) {
      bool separate = argument == "--port";
      if (separate && at + 1 == arguments.size()) {
        parsed.error = "--port needs a port number";
        break;
      }
      const std::string& value = separate ? arguments[++at] : argument.substr(7);
      mode.port = portNumber(value);
      if (!mode.port) parsed.error = "--port takes a number from 1 to 65535, not " + shown(value);
    } else if (std::find(leadingSwitches.begin(), leadingSwitches.end(), argument) != leadingSwitches.end()) {
      parsed.error = argument + " goes first, alone";
    } else {
      parsed.error = "unknown option " + shown(argument) + " (to open a file of that name: vexmoor-3dviewer -- FILE)";
    }
  }
  if (!parsed.error.empty()) return parsed;
  if (mode.paths.empty()) {
    if (mode.noBrowser || mode.port) parsed.error = "--no-browser and --port need a file to serve";
    return parsed;
  }
  if (mode.port && mode.port + mode.paths.size() - 1 > 65535) {
    parsed.error = std::to_string(mode.paths.size()) + " files need ports " + std::to_string(mode.port) + " to " +
                   std::to_string(mode.port + mode.paths.size() - 1) + ", past the last port, 65535";
  }
  mode.kind = Mode::Kind::serve;
  return parsed;
}

// Letters, digits and ". _ - @" (names from a directory service hold one), not first a '-'
// that ssh would take for an option.
bool isPlainName(const std::string& name) {
  return !name.empty() && name.size() <= 256 && name[0] != '-' && name[0] != '@' &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                  c == '-' || c == '@';
         });
}

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
  for (auto it = arguments.begin(); it != arguments.end() && *it != "--"; ++it) {
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

Mode modeFor(const std::vector<std::string>& arguments) { return parse(arguments).mode; }

std::string usageError(const std::vector<std::string>& arguments) { return parse(arguments).error; }

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
  if (auto error = usageError(arguments); !error.empty()) {
    err << "vexmoor-3dviewer: " << error << "; see vexmoor-3dviewer --help\n";
    return 2;
  }
  if (!graphical && modeFor(arguments).kind != Mode::Kind::serve) {
    err << "vexmoor-3dviewer: the file types window needs a display; from a terminal, use "
           "--register, --unregister or --status (see --help)\n";
    return 1;
  }
  return -1;
}

std::string sshTarget(const char* sshConnection, const std::string& accountName) {
  if (!sshConnection) return "";
  // "client-address client-port server-address server-port"
  std::istringstream fields(sshConnection);
  std::vector<std::string> words;
  for (std::string word; fields >> word;) words.push_back(word);
  if (words.size() != 4) return "";
  unsigned char address[sizeof(in6_addr)];
  char text[INET6_ADDRSTRLEN];
  int family = words[2].find(':') == std::string::npos ? AF_INET : AF_INET6;
  if (inet_pton(family, words[2].c_str(), address) != 1 || !inet_ntop(family, address, text, sizeof text)) return "";
  return isPlainName(accountName) ? accountName + "@" + text : std::string(text);
}

}  // namespace CommandLine
