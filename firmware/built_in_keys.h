#pragma once

// The public keys built into this program as trusted to sign firmware manifests (the CMake
// option ZORBENT_TRUSTED_KEYS; none by default).

namespace zorbent {

struct BuiltInKey {
  const char* name;  // the key file's name
  const char* pem;
};
// Ends with {nullptr, nullptr}.
extern const BuiltInKey kBuiltInKeys[];

}  // namespace zorbent
