#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The exact texts the server answers with. Every answer closes its connection.
namespace Responses {

std::string preflight();
// The not-found answer; `withBody` is false for HEAD.
std::string notFound(bool withBody);
// The page answer with its body, or only its head for HEAD.
std::string page(std::string_view html, bool withBody);
// Sends the browser on to `location`: the answer to the one-time launch address.
std::string seeOther(std::string_view location);
// The head of the file answer; the file's bytes follow it.
std::string fileHead(std::uint64_t size, std::string_view contentType = "application/octet-stream");

}  // namespace Responses
