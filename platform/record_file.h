#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zorbent {

// A file of lines several processes add to at once (a history). Each append is one write under
// an exclusive lock on the file, then flushed to the disk, so lines never interleave and a
// crash loses at most the line being written; a read holds a shared lock, so it never sees half
// a line.

// Appends text (whole lines) to path, making it (private to the user) when missing. A last line
// left unfinished by a crash is ended first, so it alone stays damaged. False with a sentence
// naming the file and the system's reason in error.
bool AppendLines(const std::string& path, std::string_view text, std::string& error);

// Reads the whole of path into text; a missing file reads as empty. False with a sentence in
// error when it cannot be read or holds more than maxBytes.
bool ReadLines(const std::string& path, std::string& text, std::int64_t maxBytes,
               std::string& error);

}  // namespace zorbent
