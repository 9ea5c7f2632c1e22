#include "platform/files.h"

#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#endif

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

}  // namespace

std::int64_t LoadWholeFile(const std::string& path, std::vector<std::uint8_t>& out,
                           std::int64_t maxBytes) {
  out.clear();
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                       &std::fclose);
  if (!file) return -1;
  // The size decides before anything is allocated or read: at most the cap is ever read.
  const std::int64_t size = RegularFileSize(file.get());
  if (size < 0 || size > maxBytes) return -1;
  try {
    out.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return -1;  // out is left as it was: empty
  } catch (const std::length_error&) {
    return -1;
  }
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t n = std::fread(out.data() + done, 1, out.size() - done, file.get());
    if (n == 0) {  // the file shrank or cannot be read
      out.clear();
      out.shrink_to_fit();
      return -1;
    }
    done += n;
  }
  return size;
}

std::string IntToText(std::int32_t value) { return std::to_string(value); }

}  // namespace zorbent
