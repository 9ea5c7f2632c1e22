#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zorbent {

// Creates one directory; true on success (false also when it exists).
bool MakeDirectory(const std::string& path);

// Loads a whole regular file into out and returns its size. -1, with out empty, when it cannot
// be opened or read, when it is larger than maxBytes (known from its size before any byte is
// read), or when no buffer of its size can be had. Never throws.
std::int64_t LoadWholeFile(const std::string& path, std::vector<std::uint8_t>& out,
                           std::int64_t maxBytes = INT32_MAX);

// Decimal text of a number, "-" for negatives, no padding.
std::string IntToText(std::int32_t value);

}  // namespace zorbent
