#include <strings.h>

#include "Associations.h"

namespace Associations {

namespace {

std::string priorHandlerKey(const std::string& extension) { return "PriorHandler." + extension; }

void recordAssociated(DefaultsStore& defaults, const std::string& extension, bool associated) {
  auto list = Config::getList(defaults, Config::associatedExtensionsKey);
  if (associated) {
    list.insert(extension);
  } else {
    list.erase(extension);
  }
  Config::setList(defaults, Config::associatedExtensionsKey, {list.begin(), list.end()});
}

}  // namespace

bool isOwnId(const Services& services, const std::string& applicationId) {
  return ::strcasecmp(applicationId.c_str(), services.ownId.c_str()) == 0;
}

std::optional<std::string> currentHandler(Services& services, const std::string& extension) {
  auto contentType = services.registry.contentTypeFor(lowercased(extension));
  if (!contentType) return std::nullopt;
  return services.registry.defaultHandler(*contentType);
}

bool claim(Services& services, const std::string& anyCaseExtension) {
  std::string extension = lowercased(anyCaseExtension);
  auto contentType = services.registry.contentTypeFor(extension);
  if (!contentType) return false;
  auto current = services.registry.defaultHandler(*contentType);
  if (current && isOwnId(services, *current)) {
    // Writing the default again would only reorder the user's associations.
    recordAssociated(services.defaults, extension, true);
    return true;
  }
  if (current) services.defaults.setString(priorHandlerKey(extension), *current);
  if (!services.registry.setDefaultHandler(*contentType, services.ownId)) return false;
  // The desktop may accept the change and still open the type with another application
  // (a desktop-specific list that overrides the user's): that is no claim.
  auto after = services.registry.defaultHandler(*contentType);
  if (!after || !isOwnId(services, *after)) return false;
  recordAssociated(services.defaults, extension, true);
  return true;
}

bool release(Services& services, const std::string& anyCaseExtension) {
  std::string extension = lowercased(anyCaseExtension);
  auto contentType = services.registry.contentTypeFor(extension);
  if (!contentType) return false;
  recordAssociated(services.defaults, extension, false);
  auto prior = services.defaults.string(priorHandlerKey(extension));
  if (!prior || prior->empty()) return false;
  // The record goes only once the application has it back, so a refusal can be retried.
  if (!services.registry.setDefaultHandler(*contentType, *prior)) return false;
  services.defaults.setString(priorHandlerKey(extension), "");
  return true;
}

std::vector<std::string> claimUnowned(Services& services) {
  std::vector<std::string> claimed;
  for (const auto& extension : declaredExtensions(declaredTypes(services))) {
    auto current = currentHandler(services, extension);
    if (current && !isOwnId(services, *current)) continue;
    if (claim(services, extension)) claimed.push_back(extension);
  }
  return claimed;
}

void unregisterAll(Services& services) {
  for (const auto& extension : declaredExtensions(declaredTypes(services))) {
    auto current = currentHandler(services, extension);
    if (current && isOwnId(services, *current)) release(services, extension);
  }
  services.defaults.removeAll();
}

std::set<std::string> registeredExtensions(Services& services) {
  std::set<std::string> registered;
  for (const auto& extension : declaredExtensions(declaredTypes(services))) {
    auto current = currentHandler(services, extension);
    if (current && isOwnId(services, *current)) registered.insert(extension);
  }
  return registered;
}

}  // namespace Associations
