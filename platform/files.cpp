#include "platform/files.h"

#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#endif

#include <cstdio>
#include <memory>

namespace zorbent {

bool MakeDirectory(const std::string& path) {
#ifdef _WIN32
  return ::_mkdir(path.c_str()) == 0;
#else
  return ::mkdir(path.c_str(), 0777) == 0;
#endif
}

std::int64_t ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& out) {
  out.clear();
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                       &std::fclose);
  if (!file) return -1;
  struct stat info {};
  if (::fstat(::fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  if (std::fseek(file.get(), 0, SEEK_END) != 0) return -1;
  const long size = std::ftell(file.get());
  if (size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) return -1;
  out.resize(static_cast<std::size_t>(size));
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t n = std::fread(out.data() + done, 1, out.size() - done, file.get());
    if (n == 0) {
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
