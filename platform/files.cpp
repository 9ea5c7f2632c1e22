#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>

#include "platform/files_os.h"

// The parts that differ per system (making a directory, a path's kind, opening) live in
// posix/files.cpp and win/files.cpp.
namespace zorbent {

std::int64_t LoadWholeFile(const std::string& path, std::vector<std::uint8_t>& out,
                           std::int64_t maxBytes, int* error) {
  const auto fail = [&](int code) -> std::int64_t {
    out.clear();
    out.shrink_to_fit();
    if (error != nullptr) *error = code;
    return -1;
  };
  out.clear();
  // The kind decides before anything is opened: a pipe or a device is never waited on.
  const PathFacts facts = LookAtPath(path);
  if (facts.kind == PathKind::kNone) return fail(facts.error != 0 ? facts.error : ENOENT);
  if (facts.kind != PathKind::kRegular)
    return fail(facts.kind == PathKind::kDirectory ? EISDIR : EINVAL);
  if (facts.size > maxBytes) return fail(EFBIG);
  errno = 0;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(OpenForReading(path), &std::fclose);
  if (!file) return fail(errno != 0 ? errno : EIO);
  // The size decides before anything is allocated or read: at most the cap is ever read.
  const std::int64_t size = RegularFileSize(file.get());
  if (size < 0) return fail(EINVAL);
  if (size > maxBytes) return fail(EFBIG);
  try {
    out.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return fail(ENOMEM);
  } catch (const std::length_error&) {
    return fail(ENOMEM);
  }
  std::size_t done = 0;
  while (done < out.size()) {
    errno = 0;
    const std::size_t n = std::fread(out.data() + done, 1, out.size() - done, file.get());
    if (n == 0) return fail(errno != 0 ? errno : EIO);  // the file shrank or cannot be read
    done += n;
  }
  return size;
}

std::string IntToText(std::int32_t value) {
  return std::to_string(value);
}

}  // namespace zorbent
