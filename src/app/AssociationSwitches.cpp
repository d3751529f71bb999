#include "AssociationSwitches.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>
#include <ostream>

#include "BuildInfo.h"
#include "Text.h"
#include "ViewerChoice.h"

namespace AssociationSwitches {

namespace {

using nlohmann::json;

constexpr std::array<const char*, 5> switches{"--register", "--unregister", "--register-unowned", "--unregister-all",
                                              "--status"};

json viewerReport(const ViewerChoice& viewer, bool builtinInstalled) {
  bool builtin = viewer.builtin && builtinInstalled;
  std::string source = viewer.source;
  if (viewer.builtin && !builtinInstalled) source += ", but the built-in viewer is not installed";
  return {{"inUse", builtin ? "builtin" : viewer.url}, {"source", source}, {"builtinInstalled", builtinInstalled}};
}

std::string statusReport(Associations::Services& services, const std::string& executablePath,
                         const ViewerChoice* viewer, bool builtinInstalled) {
  json types = json::array();
  auto declared = Associations::declaredTypes(services);
  for (const auto& type : declared) {
    for (const auto& extension : type.extensions) {
      types.push_back(
          {{"extension", extension},
           {"name", type.name},
           {"declaredType", Associations::declaredContentType(declared, extension).value_or("")},
           {"resolvedType", services.registry.contentTypeFor(Associations::lowercased(extension)).value_or("")},
           {"handler", Associations::currentHandler(services, extension).value_or("")}});
    }
  }
  json report{{"bundleId", BuildInfo::applicationId},
              {"bundlePath", executablePath},
              {"version", BuildInfo::version},
              {"types", types}};
  if (viewer) report["viewer"] = viewerReport(*viewer, builtinInstalled);
  // Solidus escaped as well, as the report has always been written; only strings hold one.
  // A path that is not UTF-8 is still reported, its stray bytes shown as U+FFFD.
  return Text::replaceAll(report.dump(2, ' ', false, json::error_handler_t::replace), "/", "\\/");
}

}  // namespace

bool isSwitch(const std::vector<std::string>& arguments) {
  return !arguments.empty() && std::find(switches.begin(), switches.end(), arguments.front()) != switches.end();
}

bool lacksOperand(const std::vector<std::string>& arguments) {
  return arguments.size() == 1 && (arguments[0] == "--register" || arguments[0] == "--unregister");
}

std::vector<std::string> splitExtensions(const std::string& text) {
  std::vector<std::string> extensions;
  for (auto piece : Associations::splitList(text)) {
    if (piece.front() == '.') piece.erase(0, 1);
    if (!piece.empty()) extensions.push_back(piece);
  }
  return extensions;
}

int run(const std::vector<std::string>& arguments, Associations::Services& services, const std::string& executablePath,
        std::ostream& out, std::ostream& err, const ViewerChoice* viewer, bool builtinInstalled) {
  if (lacksOperand(arguments)) return 2;
  const std::string& name = arguments.front();
  int status = 0;
  if (name == "--register") {
    for (const auto& extension : splitExtensions(arguments[1])) {
      auto result = Associations::claim(services, extension);
      out << extension << ": " << (result ? "claimed" : "refused") << '\n' << std::flush;
      if (!result) err << "vexmoor-3dviewer: " << extension << " refused: " << result.refusal << '\n' << std::flush;
      // The desktop's choice is no failure of ours; settings we cannot write are.
      if (result.settingsNotWritten) status = 1;
    }
  } else if (name == "--unregister") {
    for (const auto& extension : splitExtensions(arguments[1])) {
      Associations::release(services, extension);
      out << extension << ": released\n" << std::flush;
    }
  } else if (name == "--register-unowned") {
    std::string joined;
    for (const auto& extension : Associations::claimUnowned(services)) {
      joined += (joined.empty() ? "" : ",") + extension;
    }
    out << joined << '\n';
  } else if (name == "--unregister-all") {
    Associations::unregisterAll(services);
  } else {
    out << statusReport(services, executablePath, viewer, builtinInstalled) << '\n';
  }
  return status;
}

}  // namespace AssociationSwitches
