// Feeds arbitrary bytes to the request head reader, split into reads as the first byte
// says, and checks that the outcome never depends on the split and that classifying the
// request line never fails. The same bytes, taken as a viewer address from a downloaded
// catalog, must give an origin that is the address itself or begins with its scheme in
// lower case.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "BridgePage.h"
#include "RequestHead.h"

namespace {

struct Outcome {
  RequestHead::Progress progress = RequestHead::Progress::needMore;
  std::string line;
};

Outcome read(std::string_view bytes, size_t chunk) {
  RequestHead::Reader reader;
  Outcome outcome;
  size_t offset = 0;
  while (offset < bytes.size() && outcome.progress == RequestHead::Progress::needMore) {
    size_t take = std::min({chunk, reader.nextReadSize(), bytes.size() - offset});
    if (take == 0) std::abort();  // the reader must always accept more before it decides
    outcome.progress = reader.feed(bytes.substr(offset, take));
    offset += take;
  }
  if (outcome.progress == RequestHead::Progress::complete) outcome.line = reader.requestLine();
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view address(reinterpret_cast<const char*>(data), size);
  std::string origin = BridgePage::originOf(address);
  if (origin != address) {
    std::string scheme(address.substr(0, address.find(':')));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    if (origin.substr(0, origin.find("://")) != scheme) std::abort();
  }
  size_t chunk = 1 + data[0] % 64;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  Outcome whole = read(bytes, RequestHead::readStep);
  Outcome split = read(bytes, chunk);
  if (whole.progress != split.progress || whole.line != split.line) std::abort();
  if (whole.line.find("\r\n") != std::string::npos) std::abort();
  auto request =
      RequestHead::classify(whole.line, "/0123456789abcdef0123456789abcdef/", "/fedcba9876543210fedcba9876543210");
  if (request.isHead && request.route == RequestHead::Route::preflight) std::abort();
  if (request.route == RequestHead::Route::launch && whole.line.rfind("GET ", 0) != 0) std::abort();
  return 0;
}
