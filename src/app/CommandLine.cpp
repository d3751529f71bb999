#include "CommandLine.h"

#include <ostream>

#include "BuildInfo.h"

namespace CommandLine {

int run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  if (!arguments.empty() && arguments.front() == "--version") {
    out << BuildInfo::version << '\n';
    return 0;
  }
  err << "vexmoor-3dviewer: opening documents and managing file types are not built yet\n";
  return 1;
}

}  // namespace CommandLine
