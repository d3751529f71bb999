#include <curl/curl.h>
#include <openssl/crypto.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "Catalog.h"
#include "DefaultsStore.h"
#include "Hooks.h"

namespace {

using namespace std::chrono_literals;
constexpr auto requestTimeout = 10s;
constexpr auto waitLimit = 12s;
constexpr const char* userAgent = "Vexmoor3DViewer-linux/1.0.0";
constexpr size_t maxBodyBytes = 1u << 20;  // a catalog is a few kilobytes

// Shared by the caller and the download thread: whichever finishes last frees it, so a
// download that completes after the caller gave up touches nothing that is gone.
struct ResultSlot {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::optional<std::string> body;
};

// A download may still be running when the process ends; OpenSSL's own clean-up at exit
// would free what that thread is using, so it is left to the system.
void initialiseCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });
}

// The lower-case scheme of a URL that libcurl would take as it stands, or "".
std::string schemeOf(const std::string& text) {
  CURLU* url = curl_url();
  char* scheme = nullptr;
  std::string result;
  if (curl_url_set(url, CURLUPART_URL, text.c_str(), 0) == CURLUE_OK &&
      curl_url_get(url, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK) {
    result = scheme;
    curl_free(scheme);
  }
  curl_url_cleanup(url);
  return result;
}

// Returning less than was given makes libcurl give up the transfer.
size_t appendBody(char* data, size_t size, size_t count, void* sink) {
  auto& body = *static_cast<std::string*>(sink);
  if (body.size() + size * count > maxBodyBytes) return 0;
  body.append(data, size * count);
  return size * count;
}

// The body of a final 200 answer, or nothing.
std::optional<std::string> download(const std::string& url, bool secure, const std::optional<std::string>& caFile) {
  CURL* curl = curl_easy_init();
  if (!curl) return std::nullopt;
  std::string body;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(std::chrono::milliseconds(requestTimeout).count()));
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  // A catalog asked for over https is never taken from a plain http redirect.
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBodyBytes));
  curl_easy_setopt(curl, CURLOPT_USERAGENT, userAgent);
  if (caFile) curl_easy_setopt(curl, CURLOPT_CAINFO, caFile->c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  long status = 0;
  bool ok = curl_easy_perform(curl) == CURLE_OK &&
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
  curl_easy_cleanup(curl);
  if (!ok) return std::nullopt;
  return body;
}

}  // namespace

namespace FormatCatalog {

std::optional<Catalog> tryFetch(DefaultsStore& defaults) {
  std::string endpoint = Hooks::value(endpointOverride).value_or(defaultEndpoint());
  initialiseCurlOnce();
  std::string scheme = schemeOf(endpoint);
  if (scheme != "http" && scheme != "https") return std::nullopt;
  bool secure = scheme == "https";
  auto caFile = Hooks::value(trustedCertificatesOverride);

  auto slot = std::make_shared<ResultSlot>();
  auto deadline = std::chrono::steady_clock::now() + waitLimit;
  try {
    std::thread([slot, endpoint, secure, caFile] {
      auto body = download(endpoint, secure, caFile);
      std::lock_guard guard(slot->mutex);
      slot->body = std::move(body);
      slot->done = true;
      slot->finished.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return std::nullopt;
  }

  std::optional<std::string> body;
  {
    std::unique_lock lock(slot->mutex);
    slot->finished.wait_until(lock, deadline, [&] { return slot->done; });
    body = std::move(slot->body);
  }
  if (!body) return std::nullopt;
  auto catalog = parse(*body);
  if (catalog) defaults.setString(cacheKey, *body);
  return catalog;
}

}  // namespace FormatCatalog
