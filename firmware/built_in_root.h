#pragma once

// The maker's repository root built into this program (the CMake option ZORBENT_TRUSTED_ROOT:
// a root.json embedded at build time; none by default).

namespace zorbent {

// The root's bytes, or "" when none was built in.
extern const char* const kBuiltInRoot;

}  // namespace zorbent
