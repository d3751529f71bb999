#pragma once

#include <string>
#include <string_view>

// The 66 unreserved characters of RFC 3986, which are never percent-encoded.
inline constexpr std::string_view rfc3986Unreserved =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";

// Writes every byte outside `allowed` as "%XX" with upper-case hex digits. Text is taken as
// its bytes, so a UTF-8 name comes out as the escapes of its UTF-8 form.
std::string percentEncode(std::string_view bytes, std::string_view allowed = rfc3986Unreserved);
