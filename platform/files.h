#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zorbent {

// Creates one directory; true on success (false also when it exists).
bool MakeDirectory(const std::string& path);

// What a path names, known from its metadata alone: nothing is opened, so a pipe with no
// writer cannot block the caller.
enum class PathKind { kNone, kRegular, kDirectory, kPipe, kDevice, kSocket, kOther };
struct PathFacts {
  PathKind kind = PathKind::kNone;
  std::int64_t size = 0;  // regular files only
  int error = 0;          // errno when kind is kNone (ENOENT, EACCES, ...)
};
PathFacts LookAtPath(const std::string& path);

// Loads a whole regular file into out and returns its size. -1, with out empty, when it is no
// regular file (then it is never opened), cannot be opened or read, is larger than maxBytes
// (known from its size before any byte is read), or no buffer of its size can be had; error,
// when given, then gets an errno value (EFBIG for the size). Never throws.
std::int64_t LoadWholeFile(const std::string& path, std::vector<std::uint8_t>& out,
                           std::int64_t maxBytes = INT32_MAX, int* error = nullptr);

// A small text file (settings, keys, metadata) read whole with LoadWholeFile's rules. False,
// with why naming the file and what was wrong ("... is larger than N bytes", "cannot read
// ...: <system text>"); missing, when given, tells a file that does not exist (often no
// error for the caller).
bool ReadSmallFile(const std::string& path, std::int64_t maxBytes, std::string& text,
                   std::string& why, bool* missing = nullptr);

// Writes bytes to a temporary file of a unique name beside path, flushed, then renames it over
// path, so a reader sees the old file or the new one and never half of one, and two writers
// never share a temporary. False with why (naming the file and the system's text); the
// temporary is removed then.
// kOwnerOnly: the temporary is made readable by its owner alone before anything is written
// to it (private keys).
enum class FileAccess { kShared, kOwnerOnly };
bool WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                         std::string& why, FileAccess access = FileAccess::kShared);
bool WriteFileAtomically(const std::string& path, std::string_view text, std::string& why,
                         FileAccess access = FileAccess::kShared);

// Decimal text of a number, "-" for negatives, no padding.
std::string IntToText(std::int32_t value);

}  // namespace zorbent
