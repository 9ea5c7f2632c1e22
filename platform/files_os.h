#pragma once

// What files.cpp leaves to each system (posix/files.cpp, win/files.cpp), besides
// MakeDirectory and LookAtPath.

#include <cstdint>
#include <cstdio>
#include <string>

namespace zorbent {

// The size of an open regular file; -1 for anything else (a directory, a pipe, a device).
std::int64_t RegularFileSize(std::FILE* file);

// Opens path for reading in binary mode without waiting on it; null, with errno set, when it
// cannot be opened.
std::FILE* OpenForReading(const std::string& path);

}  // namespace zorbent
