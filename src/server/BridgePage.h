#pragma once

#include <string>
#include <string_view>

// The page the browser opens first: it embeds the viewer and hands it the served file.
namespace BridgePage {

// `builtinViewerUrl` is the viewer served beside the file, or empty when there is none. When
// it is the viewer chosen, the page uses it alone; otherwise the page turns to it when the
// chosen viewer does not answer.
std::string build(std::string_view viewerBaseUrl, std::string_view fileUrl, std::string_view fileName,
                  std::string_view builtinViewerUrl = {});

// Scheme and host of an address in lower case, and its port unless it is the scheme's
// default; the address itself when it has no scheme or host or does not parse.
std::string originOf(std::string_view url);

// The address with "name=value" added to its query, before any fragment, the value
// percent-encoded; the text itself when it does not parse.
std::string withQueryParameter(std::string_view url, const std::string& name, std::string_view value);

std::string htmlEscape(std::string_view text);

}  // namespace BridgePage
