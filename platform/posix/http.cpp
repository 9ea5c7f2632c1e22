#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/http_os.h"

namespace zorbent {
namespace {

using Clock = std::chrono::steady_clock;
using Problem = FetchResult::Problem;

// What libcurl's callbacks share while one download runs.
struct Transfer {
  const FetchLimits& limits;
  const FetchProgress& progress;
  std::vector<std::uint8_t> body;
  Clock::time_point lastByte = Clock::now();
  bool anyByte = false;
  bool tooLarge = false;
  bool outOfMemory = false;
  bool stalled = false;
  bool cancelled = false;
};

std::size_t OnHeader(char*, std::size_t, std::size_t size, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  transfer.lastByte = Clock::now();
  transfer.anyByte = true;
  return size;
}

// Keeps at most maxBytes: the first byte past them ends the download.
std::size_t OnBody(char* data, std::size_t, std::size_t size, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  transfer.lastByte = Clock::now();
  transfer.anyByte = true;
  if (size > transfer.limits.maxBytes - transfer.body.size()) {
    transfer.tooLarge = true;
    return 0;
  }
  try {
    transfer.body.insert(transfer.body.end(), data, data + size);
  } catch (...) {
    transfer.outOfMemory = true;
    return 0;
  }
  return size;
}

// Called often while bytes arrive and about once a second while none do.
int OnProgress(void* user, curl_off_t total, curl_off_t, curl_off_t, curl_off_t) {
  auto& transfer = *static_cast<Transfer*>(user);
  if (!GoOn(transfer.progress, transfer.body.size(),
            total > 0 ? static_cast<std::size_t>(total) : std::size_t{0})) {
    transfer.cancelled = true;
    return 1;
  }
  if (Clock::now() - transfer.lastByte >=
      std::chrono::milliseconds(std::max(transfer.limits.stallTimeoutMs, 1))) {
    transfer.stalled = true;
    return 1;
  }
  return 0;
}

bool StartCurl() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] { started = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return started;
}

// The result of a download libcurl ended with code.
FetchResult Outcome(CURL* curl, CURLcode code, Transfer& transfer, std::string_view url,
                    const char* errorText) {
  const FetchLimits& limits = transfer.limits;
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_off_t connectedUs = 0;
  curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connectedUs);
  const std::string why = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);

  FetchResult result;
  if (transfer.cancelled) {
    result = FetchFailure(Problem::kCancelled, url, limits);
  } else if (transfer.stalled) {
    result = FetchFailure(Problem::kTimedOut, url, limits,
                          (transfer.anyByte ? "no data for " : "no answer for ") +
                              DurationText(limits.stallTimeoutMs));
  } else if (transfer.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
    result = FetchFailure(Problem::kTooLarge, url, limits);
  } else if (transfer.outOfMemory || code == CURLE_OUT_OF_MEMORY) {
    result = FetchFailure(Problem::kTooLarge, url, limits, "there is not enough memory");
  } else if (code == CURLE_OK && (status < 200 || status > 299)) {
    result = FetchFailure(Problem::kHttpStatus, url, limits, {}, status);
  } else if (code == CURLE_OK) {
    result.ok = true;
    result.body = std::move(transfer.body);
  } else if (code == CURLE_HTTP_RETURNED_ERROR) {
    result = FetchFailure(status == 404 ? Problem::kNotFound : Problem::kHttpStatus, url, limits,
                          {}, status);
  } else if (code == CURLE_TOO_MANY_REDIRECTS) {
    result = FetchFailure(Problem::kTooManyRedirects, url, limits);
  } else if (code == CURLE_OPERATION_TIMEDOUT) {
    result = FetchFailure(Problem::kTimedOut, url, limits,
                          connectedUs == 0 && limits.connectTimeoutMs < limits.totalTimeoutMs
                              ? "no connection within " + DurationText(limits.connectTimeoutMs)
                              : "not done within " + DurationText(limits.totalTimeoutMs));
  } else if (code == CURLE_UNSUPPORTED_PROTOCOL) {
    result = FetchFailure(Problem::kBadUrl, url, limits,
                          "it was redirected to a scheme not allowed here (" + why + ")");
  } else if (code == CURLE_URL_MALFORMAT) {
    result = FetchFailure(Problem::kBadUrl, url, limits, "it is no valid URL (" + why + ")");
  } else if (code == CURLE_PEER_FAILED_VERIFICATION) {
    result = FetchFailure(Problem::kTlsFailed, url, limits,
                          "its certificate is not trusted (" + why + ")");
  } else if (code == CURLE_SSL_CONNECT_ERROR || code == CURLE_SSL_CERTPROBLEM ||
             code == CURLE_SSL_CIPHER || code == CURLE_SSL_CACERT_BADFILE ||
             code == CURLE_SSL_ISSUER_ERROR || code == CURLE_SSL_INVALIDCERTSTATUS ||
             code == CURLE_SSL_PINNEDPUBKEYNOTMATCH || code == CURLE_USE_SSL_FAILED) {
    result = FetchFailure(Problem::kTlsFailed, url, limits, why);
  } else if (code == CURLE_COULDNT_RESOLVE_HOST) {
    result = FetchFailure(Problem::kCannotConnect, url, limits, "the name is unknown");
  } else if (code == CURLE_COULDNT_RESOLVE_PROXY) {
    result = FetchFailure(Problem::kCannotConnect, url, limits, "the proxy's name is unknown");
  } else if (code == CURLE_COULDNT_CONNECT) {
    result = FetchFailure(Problem::kCannotConnect, url, limits, "nothing answers there");
  } else {
    result = FetchFailure(Problem::kCannotConnect, url, limits, why);
  }
  result.httpStatus = status;
  if (!result.ok) result.systemCode = code;
  return result;
}

}  // namespace

FetchResult FetchRemote(std::string_view url, const FetchLimits& limits,
                        const FetchProgress& progress) {
  if (!StartCurl()) {
    return FetchFailure(Problem::kCannotConnect, url, limits,
                        "the system's HTTP library (libcurl) did not start");
  }
  const std::unique_ptr<CURL, void (*)(CURL*)> handle(curl_easy_init(), &curl_easy_cleanup);
  if (!handle) {
    return FetchFailure(Problem::kCannotConnect, url, limits,
                        "the system's HTTP library (libcurl) did not start");
  }
  CURL* curl = handle.get();
  Transfer transfer{limits, progress, {}};
  char errorText[CURL_ERROR_SIZE] = {};
  const std::string address(url);
  // Zero would mean "no limit" to libcurl: every wait stays bounded.
  const auto atLeastOne = [](std::int32_t ms) { return static_cast<long>(std::max(ms, 1)); };
  const auto maxBytes = static_cast<curl_off_t>(std::min<std::size_t>(limits.maxBytes, INT64_MAX));

  curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // other threads run alongside
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "zorbent-fw");
  // An https download never continues over http, nor anywhere but the web.
  const bool https = UrlScheme(url) == "https";
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, https ? "https" : "http,https");
#else
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS);
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS,
                   https ? CURLPROTO_HTTPS : CURLPROTO_HTTP | CURLPROTO_HTTPS);
#endif
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, static_cast<long>(std::max(limits.maxRedirects, 0)));
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, atLeastOne(limits.connectTimeoutMs));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, atLeastOne(limits.totalTimeoutMs));
  // A declared length above the limit fails before the body is read.
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, maxBytes);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  // The given CA file takes the place of the system's CAs for this download.
  if (!limits.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, limits.caFile.c_str());
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);

  transfer.lastByte = Clock::now();
  const CURLcode code = curl_easy_perform(curl);
  return Outcome(curl, code, transfer, url, errorText);
}

}  // namespace zorbent
