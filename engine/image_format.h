#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace zorbent {

// Copies the hex digits of the line at position (upper case, NUL-terminated) into line and
// returns the next line's position.
std::size_t ReadImageLine(std::span<const std::uint8_t> image, std::size_t position,
                          std::span<char> line);

}  // namespace zorbent
