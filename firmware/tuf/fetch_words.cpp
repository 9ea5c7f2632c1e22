#include "firmware/tuf/fetch_words.h"

namespace zorbent {
std::string FetchSentence(const FetchResult& result) {
  using Problem = FetchResult::Problem;
  const std::string& url = result.url;
  const std::string& why = result.systemText;
  switch (result.kind) {
    case Problem::kNone:
      return result.ok ? std::string() : "The download of " + url + " failed.";
    case Problem::kBadUrl:
      if (url.empty()) return "No address was given. Give an https:// URL or a file's path.";
      return "Cannot download " + url + ": " + why + ". Check the address.";
    case Problem::kNotFound:
      if (result.httpStatus == 0)
        return "Cannot read " + url + ": " + why + ". Check the path and its permissions.";
      return url + " was not found on its server (HTTP 404). Check the address.";
    case Problem::kHttpStatus:
      return "The server answered HTTP " + std::to_string(result.httpStatus) + " for " + url +
             ". Check the address, or try again later.";
    case Problem::kCannotConnect:
      return "Cannot connect to " + UrlHost(url) + " (" + why +
             "). Check the address, the network connection and any proxy settings.";
    case Problem::kTimedOut:
      return "The download of " + url + " timed out (" + why +
             "). Check the network connection, or try again later.";
    case Problem::kTooLarge:
      if (!why.empty()) return "Cannot download " + url + ": " + why + ".";
      return url + " is larger than " + std::to_string(result.limit) +
             " bytes, more than expected. Check that it is the right file.";
    case Problem::kTlsFailed:
      return "The secure connection to " + UrlHost(url) + " failed: " + why +
             ". Check the address; a private server needs its CA certificate given.";
    case Problem::kTooManyRedirects:
      return url + " redirected more than " + std::to_string(result.limit) +
             " times. Check the address.";
    case Problem::kFileUnreadable:
      return "Cannot read " + url + ": " + why + ". Check the path and its permissions.";
    case Problem::kCancelled:
      return "The download of " + url + " was cancelled.";
  }
  return "The download of " + url + " failed.";
}

}  // namespace zorbent
