#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zorbent {

// Creates one directory; true on success (false also when it exists).
bool MakeDirectory(const std::string& path);

// Reads a whole file; -1 when it cannot be opened or read, else its size.
std::int64_t ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& out);

// Decimal text of a number, "-" for negatives, no padding.
std::string IntToText(std::int32_t value);

}  // namespace zorbent
