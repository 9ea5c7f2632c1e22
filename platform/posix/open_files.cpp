#include <sys/resource.h>

#include "platform/open_files.h"

namespace zorbent {

std::size_t RaiseOpenFileLimit(std::size_t needed) {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  const auto want = static_cast<rlim_t>(needed);
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < want) {
    // The soft limit may rise up to the hard one without privileges.
    const rlim_t raised =
        limit.rlim_max == RLIM_INFINITY || limit.rlim_max > want ? want : limit.rlim_max;
    struct rlimit wanted = limit;
    wanted.rlim_cur = raised;
    if (::setrlimit(RLIMIT_NOFILE, &wanted) == 0) limit.rlim_cur = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? needed : static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace zorbent
