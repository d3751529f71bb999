#include "RequestHead.h"

#include <algorithm>
#include <vector>

namespace RequestHead {

namespace {

constexpr std::string_view viewerPrefix = "viewer/";

std::vector<std::string_view> splitOnSpaces(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t pos = 0;
  while (pos < line.size()) {
    size_t end = line.find(' ', pos);
    if (end == std::string_view::npos) end = line.size();
    if (end > pos) fields.push_back(line.substr(pos, end - pos));
    pos = end + 1;
  }
  return fields;
}

// Compares without an early exit, so the time taken tells nothing about the token.
bool startsWithConstantTime(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < prefix.size(); ++i) {
    difference |= static_cast<unsigned char>(text[i] ^ prefix[i]);
  }
  return difference == 0;
}

}  // namespace

size_t Reader::nextReadSize() const { return std::min(readStep, maxHeadBytes - std::min(bytes_.size(), maxHeadBytes)); }

Progress Reader::feed(std::string_view bytes) {
  if (headEnd_ != std::string::npos) return Progress::complete;
  size_t searchFrom = bytes_.size() < 3 ? 0 : bytes_.size() - 3;
  bytes_.append(bytes.substr(0, maxHeadBytes - std::min(bytes_.size(), maxHeadBytes)));
  headEnd_ = bytes_.find("\r\n\r\n", searchFrom);
  if (headEnd_ != std::string::npos) return Progress::complete;
  return bytes_.size() >= maxHeadBytes ? Progress::tooLarge : Progress::needMore;
}

std::string Reader::requestLine() const {
  if (headEnd_ == std::string::npos) return {};
  return bytes_.substr(0, bytes_.find("\r\n"));
}

Request classify(std::string_view requestLine, std::string_view tokenPrefix, std::string_view launchTarget) {
  auto fields = splitOnSpaces(requestLine);
  if (fields.size() < 3) return {Route::closeSilently, false};
  std::string_view method = fields[0];
  std::string_view target = fields[1];
  bool isHead = method == "HEAD";
  if (method == "OPTIONS") return {Route::preflight, false};
  if (!launchTarget.empty() && method == "GET" && target.size() == launchTarget.size() &&
      startsWithConstantTime(target, launchTarget)) {
    return {Route::launch, false};
  }
  if (!startsWithConstantTime(target, tokenPrefix)) return {Route::notFound, isHead};
  if (method != "GET" && !isHead) return {Route::notFound, isHead};
  std::string_view rest = target.substr(tokenPrefix.size());
  if (rest.starts_with(viewerPrefix)) {
    rest.remove_prefix(viewerPrefix.size());
    return {Route::viewer, isHead, rest.substr(0, rest.find('?'))};
  }
  return {rest == "open" ? Route::page : Route::file, isHead};
}

}  // namespace RequestHead
