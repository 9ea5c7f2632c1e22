#pragma once

#include <cstddef>

namespace zorbent {

// Raises this process's limit on open files to at least `needed` where the system allows it.
// Returns the limit now in force (at least `needed` on success); where there is no such
// limit, `needed`.
std::size_t RaiseOpenFileLimit(std::size_t needed);

}  // namespace zorbent
