#pragma once

// Downloads of repository metadata and firmware files: https:// and http:// through the system's
// HTTP client (libcurl; WinHTTP on Windows), file:// URLs and plain local paths from disk. Every
// wait and the body's size are bounded; certificates are always verified.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zorbent {

struct FetchLimits {
  std::size_t maxBytes = 0;  // a larger body fails, and no more than this is ever kept
  std::int32_t connectTimeoutMs = 10000;
  std::int32_t stallTimeoutMs = 15000;  // no byte for this long ends the download
  std::int32_t totalTimeoutMs = 120000;
  int maxRedirects = 5;
  // A PEM file with the CA of a private server (and of the tests). With libcurl it replaces
  // the system's trusted CAs for this download; on Windows the server's chain must end in it.
  std::string caFile;
};

struct FetchResult {
  enum class Problem {
    kNone,
    kBadUrl,      // malformed, an unknown scheme, or a redirect to a scheme not allowed
    kNotFound,    // HTTP 404, or no such local file
    kHttpStatus,  // any other status that is no success
    kCannotConnect,
    kTimedOut,
    kTooLarge,  // over maxBytes, or no memory for it
    kTlsFailed,
    kTooManyRedirects,
    kFileUnreadable,  // a local file, or the CA file
    kCancelled,
  };
  bool ok = false;
  std::vector<std::uint8_t> body;  // empty unless ok
  // What failed, as facts; the front ends word them (FetchSentence).
  Problem kind = Problem::kNone;
  long httpStatus = 0;     // the last status seen, 0 without one
  long systemCode = 0;     // the system's own code (errno, libcurl's, WinHTTP's), 0 without one
  std::string systemText;  // the system's words, or what was wrong with the address
  std::string url;         // the address (or the CA file) it was about, without any password
  std::size_t limit = 0;   // the limit that was passed: bytes (kTooLarge), redirects
};

// Called as bytes arrive with the count kept so far and the announced size (0 when unknown),
// with libcurl also about once a second while none do; false cancels the download.
using FetchProgress = std::function<bool(std::size_t done, std::size_t total)>;

// The body of url: https://, http:// (allowed; the caller decides whether to warn), file://
// or a local path. Any other scheme fails kBadUrl naming it. Never throws.
FetchResult Fetch(std::string_view url, const FetchLimits& limits,
                  const FetchProgress& progress = {});

// relative read against base the way a browser would (a file's name against its folder's
// URL). base may be a local path: the result is then a path next to it.
std::string ResolveRelativeUrl(std::string_view base, std::string_view relative);

// The host (and port) of url, without any user name or password.
std::string UrlHost(std::string_view url);

// "https" for "HTTPS://host/x"; empty for a local path (a Windows drive letter is no scheme).
std::string UrlScheme(std::string_view url);

}  // namespace zorbent
