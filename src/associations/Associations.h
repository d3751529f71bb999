#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "DefaultsStore.h"
#include "HandlerRegistry.h"

// The file types the application declares, and making it (or the application it displaced)
// the default for them. Extensions go without their dot and are lower-cased before use.
namespace Associations {

struct DeclaredType {
  std::string name;
  std::vector<std::string> extensions;    // lower-case, never empty
  std::vector<std::string> contentTypes;  // as written
};

// The document types of a declaration file's text, normalised; empty when it is unusable.
std::vector<DeclaredType> parseDeclaration(std::string_view jsonText);
// The same for the declaration file at `path`, read afresh.
std::vector<DeclaredType> readDeclaration(const std::string& path);
// Every declared extension in order, duplicates kept.
std::vector<std::string> declaredExtensions(const std::vector<DeclaredType>& types);
// The first content type declared for the extension.
std::optional<std::string> declaredContentType(const std::vector<DeclaredType>& types, const std::string& extension);

// What the operations below work with. `declarationPath` is read again on every use.
struct Services {
  HandlerRegistry& registry;
  DefaultsStore& defaults;
  std::string declarationPath;
  std::string ownId;  // compared without regard to case
};

std::vector<DeclaredType> declaredTypes(const Services& services);
std::optional<std::string> currentHandler(Services& services, const std::string& extension);
bool isOwnId(const Services& services, const std::string& applicationId);

// What a claim came to. A refusal says why, in words the user can act on.
struct ClaimResult {
  bool claimed = false;
  std::string refusal;
  // Refused because our own settings could not be written, not by the desktop's choice.
  bool settingsNotWritten = false;
  explicit operator bool() const { return claimed; }
};

// Makes this application the default, remembering the application it displaced. Claimed only
// when the desktop afterwards really opens the type with this application; refused, with
// nothing changed, when the record of the claim cannot be written.
ClaimResult claim(Services& services, const std::string& extension);
// Hands the type back to the remembered application; true when that succeeded.
bool release(Services& services, const std::string& extension);
// Claims every declared type no other application opens; returns those claimed.
std::vector<std::string> claimUnowned(Services& services);
// Releases every type this application opens, then forgets all its settings.
void unregisterAll(Services& services);
// The declared extensions this application opens now.
std::set<std::string> registeredExtensions(Services& services);

std::string lowercased(const std::string& text);

// The pieces of a comma-separated list: trimmed of spaces and tabs, lower-cased, empty ones
// left out; order and duplicates kept.
std::vector<std::string> splitList(const std::string& text);

}  // namespace Associations

// Sets of lower-case strings kept in one setting as a sorted, comma-joined string.
namespace Config {

inline constexpr const char* associatedExtensionsKey = "AssociatedExtensions";

std::set<std::string> getList(const DefaultsStore& defaults, const std::string& key);
void setList(DefaultsStore& defaults, const std::string& key, const std::vector<std::string>& values);
// Changes the stored set in one step that parallel runs of the application cannot interleave;
// false when the settings could not be written.
bool updateList(DefaultsStore& defaults, const std::string& key,
                const std::function<void(std::set<std::string>&)>& change);

}  // namespace Config
