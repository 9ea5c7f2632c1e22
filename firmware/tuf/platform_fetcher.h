#pragma once

// The updater's downloads through the system's HTTP client (platform/http.h): https, http,
// file:// and local paths, each bounded in size and time. A local file that does not exist
// counts as not found, as a server's 404 does, so a folder serves a repository too.

#include "firmware/tuf/updater.h"
#include "platform/http.h"

namespace zorbent::tuf {

class PlatformFetcher : public Fetcher {
 public:
  explicit PlatformFetcher(FetchLimits limits = {}) : limits_(std::move(limits)) {}
  FetchResult Fetch(std::string_view url, std::size_t maxBytes) override;

 private:
  FetchLimits limits_;  // all but maxBytes, which each file brings
};

}  // namespace zorbent::tuf
