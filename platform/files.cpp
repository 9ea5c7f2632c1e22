#include "platform/files.h"

#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>

namespace zorbent {

bool MakeDirectory(const std::string& path) {
#ifdef _WIN32
  return ::_mkdir(path.c_str()) == 0;
#else
  return ::mkdir(path.c_str(), 0777) == 0;
#endif
}

namespace {

// The size of an open regular file; -1 for anything else (a directory, a pipe, a device).
std::int64_t RegularFileSize(std::FILE* file) {
#ifdef _WIN32
  struct _stat64 info {};
  if (::_fstat64(::_fileno(file), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return -1;
#else
  struct stat info {};
  if (::fstat(::fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
#endif
  return static_cast<std::int64_t>(info.st_size);
}

std::FILE* OpenForReading(const std::string& path) {
#ifdef _WIN32
  return std::fopen(path.c_str(), "rb");
#else
  // Non-blocking: should the path have turned into a pipe since it was looked at, the open
  // does not wait for a writer (the size check then refuses it).
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) ::close(fd);
  return file;
#endif
}

}  // namespace

PathFacts LookAtPath(const std::string& path) {
  PathFacts facts;
#ifdef _WIN32
  struct _stat64 info {};
  if (::_stat64(path.c_str(), &info) != 0) {
    facts.error = errno;
    return facts;
  }
  const auto type = info.st_mode & _S_IFMT;
  facts.kind = type == _S_IFREG   ? PathKind::kRegular
               : type == _S_IFDIR ? PathKind::kDirectory
               : type == _S_IFIFO ? PathKind::kPipe
               : type == _S_IFCHR ? PathKind::kDevice
                                  : PathKind::kOther;
#else
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    facts.error = errno;
    return facts;
  }
  const auto mode = info.st_mode;
  facts.kind = S_ISREG(mode)                    ? PathKind::kRegular
               : S_ISDIR(mode)                  ? PathKind::kDirectory
               : S_ISFIFO(mode)                 ? PathKind::kPipe
               : S_ISCHR(mode) || S_ISBLK(mode) ? PathKind::kDevice
               : S_ISSOCK(mode)                 ? PathKind::kSocket
                                                : PathKind::kOther;
#endif
  if (facts.kind == PathKind::kRegular) facts.size = static_cast<std::int64_t>(info.st_size);
  return facts;
}

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
