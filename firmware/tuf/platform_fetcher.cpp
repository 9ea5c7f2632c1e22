#include "firmware/tuf/platform_fetcher.h"

namespace zorbent::tuf {

FetchResult PlatformFetcher::Fetch(std::string_view url, std::size_t maxBytes) {
  FetchLimits limits = limits_;
  limits.maxBytes = maxBytes;
  // A missing local file comes back as kNotFound, like a 404, so a root chain over a folder ends.
  return zorbent::Fetch(url, limits);
}

}  // namespace zorbent::tuf
