#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace zorbent {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 of bytes, from the system's own crypto library (OpenSSL; CNG on Windows).
Sha256Digest Sha256(std::span<const std::uint8_t> bytes);
// The same as 64 lower-case hex digits, the form manifests and the history keep.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace zorbent
