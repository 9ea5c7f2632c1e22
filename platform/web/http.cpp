// The page downloads through the browser's fetch() (web/repository_host.js behind the
// repository client's fetcher); the program's own HTTP client has no place in it.
#include "platform/http_os.h"

namespace zorbent {

FetchResult FetchRemote(std::string_view url, const FetchLimits& limits, const FetchProgress&) {
  return FetchFailure(FetchResult::Problem::kCannotConnect, url, limits,
                      "the page downloads only through the browser");
}

}  // namespace zorbent
