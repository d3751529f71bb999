#include <strings.h>

#include <algorithm>

#include "Associations.h"
#include "DesktopTexts.h"

namespace Associations {

namespace {

std::string priorHandlerKey(const std::string& extension) { return "PriorHandler." + extension; }

// The extension and every declared one the desktop gives the same content type. The desktop
// keeps one handler per content type, so they are claimed and given back as one.
std::vector<std::string> sharingType(Services& services, const std::vector<std::string>& declaredList,
                                     const std::string& extension, const std::string& contentType) {
  std::vector<std::string> extensions{extension};
  for (const auto& declared : declaredList) {
    if (declared != extension && services.registry.contentTypeFor(declared) == contentType &&
        std::find(extensions.begin(), extensions.end(), declared) == extensions.end()) {
      extensions.push_back(declared);
    }
  }
  return extensions;
}

// `added` receives the extensions that were not in the record yet.
bool recordAssociated(DefaultsStore& defaults, const std::vector<std::string>& extensions, bool associated,
                      std::vector<std::string>* added = nullptr) {
  return Config::updateList(defaults, Config::associatedExtensionsKey, [&](std::set<std::string>& list) {
    if (added) added->clear();
    for (const auto& extension : extensions) {
      if (associated) {
        if (list.insert(extension).second && added) added->push_back(extension);
      } else {
        list.erase(extension);
      }
    }
  });
}

ClaimResult refused(std::string why, bool settingsNotWritten = false) {
  return {false, std::move(why), settingsNotWritten};
}

// The application a claim displaced, under any extension of the type (earlier versions
// kept it under the claimed extension alone).
std::optional<std::string> priorHandler(const Services& services, const std::vector<std::string>& extensions) {
  for (const auto& extension : extensions) {
    auto prior = services.defaults.string(priorHandlerKey(extension));
    if (prior && !prior->empty()) return prior;
  }
  return std::nullopt;
}

void forgetPriorHandler(Services& services, const std::vector<std::string>& extensions) {
  for (const auto& extension : extensions) {
    if (priorHandler(services, {extension})) services.defaults.setString(priorHandlerKey(extension), "");
  }
}

bool isOwnHandler(Services& services, const std::string& contentType) {
  auto current = services.registry.defaultHandler(contentType);
  return current && isOwnId(services, *current);
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

// Only declared types: what the desktop gives an undeclared name (text, images) is the
// user's business, and unregistering could never give it back.
ClaimResult claim(Services& services, const std::string& anyCaseExtension) {
  std::string extension = lowercased(anyCaseExtension);
  auto declared = declaredExtensions(declaredTypes(services));
  if (std::find(declared.begin(), declared.end(), extension) == declared.end()) {
    return refused("not a file type this application declares");
  }
  auto contentType = services.registry.contentTypeFor(extension);
  if (!contentType) return refused("the desktop knows no content type for this extension");
  auto extensions = sharingType(services, declared, extension, *contentType);
  auto current = services.registry.defaultHandler(*contentType);
  bool ours = current && isOwnId(services, *current);
  // The records go first: a claim whose displaced application was not remembered could
  // never be given back.
  auto unwritten = refused(std::string(DesktopTexts::settingsNotWritten), true);
  if (current && !ours) {
    for (const auto& each : extensions) {
      if (!services.defaults.setString(priorHandlerKey(each), *current)) return unwritten;
    }
  }
  std::vector<std::string> added;
  if (!recordAssociated(services.defaults, extensions, true, &added)) return unwritten;
  // Writing the default again would only reorder the user's associations.
  if (ours) return {true, "", false};
  std::string why;
  if (services.registry.setDefaultHandler(*contentType, services.ownId, &why)) return {true, "", false};
  recordAssociated(services.defaults, added, false);
  return refused(why);
}

// A type the user has given to another application since stays with it: only our record goes.
bool release(Services& services, const std::string& anyCaseExtension) {
  std::string extension = lowercased(anyCaseExtension);
  auto contentType = services.registry.contentTypeFor(extension);
  if (!contentType) return false;
  auto extensions = sharingType(services, declaredExtensions(declaredTypes(services)), extension, *contentType);
  recordAssociated(services.defaults, extensions, false);
  if (!isOwnHandler(services, *contentType)) {
    forgetPriorHandler(services, extensions);
    return false;
  }
  auto prior = priorHandler(services, extensions);
  if (!prior) return false;
  // The record goes only once the application has it back, so a refusal can be retried.
  if (!services.registry.setDefaultHandler(*contentType, *prior)) return false;
  forgetPriorHandler(services, extensions);
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
