#include <direct.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/files.h"
#include "platform/files_os.h"

namespace zorbent {

bool MakeDirectory(const std::string& path) {
  return ::_mkdir(path.c_str()) == 0;
}

std::int64_t RegularFileSize(std::FILE* file) {
  struct _stat64 info {};
  if (::_fstat64(::_fileno(file), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

std::FILE* OpenForReading(const std::string& path) {
  return std::fopen(path.c_str(), "rb");
}

PathFacts LookAtPath(const std::string& path) {
  PathFacts facts;
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
  if (facts.kind == PathKind::kRegular) facts.size = static_cast<std::int64_t>(info.st_size);
  return facts;
}

}  // namespace zorbent
