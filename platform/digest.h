#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zorbent {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 of bytes, from the system's own crypto library (OpenSSL; CNG on Windows).
Sha256Digest Sha256(std::span<const std::uint8_t> bytes);
// The same as 64 lower-case hex digits, the form manifests and the history keep.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

// Bytes as lower-case hex digits, and back (either case; false for an odd count or a non-digit).
std::string Hex(std::span<const std::uint8_t> bytes);
bool FromHex(std::string_view text, std::vector<std::uint8_t>& bytes);

}  // namespace zorbent
