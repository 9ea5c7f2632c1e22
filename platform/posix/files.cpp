#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"
#include "platform/files_os.h"

namespace zorbent {

bool MakeDirectory(const std::string& path) {
  return ::mkdir(path.c_str(), 0777) == 0;
}

std::int64_t RegularFileSize(std::FILE* file) {
  struct stat info {};
  if (::fstat(::fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

std::FILE* OpenForReading(const std::string& path) {
  // Non-blocking: should the path have turned into a pipe since it was looked at, the open
  // does not wait for a writer (the size check then refuses it).
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) ::close(fd);
  return file;
}

PathFacts LookAtPath(const std::string& path) {
  PathFacts facts;
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
  if (facts.kind == PathKind::kRegular) facts.size = static_cast<std::int64_t>(info.st_size);
  return facts;
}

}  // namespace zorbent
