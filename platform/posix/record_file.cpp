#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/record_file.h"

namespace zorbent {
namespace {

constexpr mode_t kPrivateFile = 0600;

// A descriptor closed when it goes out of scope (its lock with it).
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool SetSystemError(std::string& error, const std::string& what, const std::string& path) {
  error = what + " " + path + ": " + std::strerror(errno);
  return false;
}

// Waits for the lock; a signal's interruption is no reason to give up.
bool TakeLock(int fd, int how) {
  while (::flock(fd, how) != 0)
    if (errno != EINTR) return false;
  return true;
}

}  // namespace

bool AppendLines(const std::string& path, std::string_view text, std::string& error) {
  // O_APPEND: every write lands at the end as it is then, whoever else appends.
  const Descriptor file(
      ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kPrivateFile));
  if (file.get() < 0) return SetSystemError(error, "cannot open", path);
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return SetSystemError(error, "cannot read", path);
  if (!S_ISREG(info.st_mode)) {
    error = path + " is not a regular file";
    return false;
  }
  if (!TakeLock(file.get(), LOCK_EX)) return SetSystemError(error, "cannot lock", path);
  if (::fstat(file.get(), &info) != 0) return SetSystemError(error, "cannot read", path);
  std::string lines;
  char last = '\n';
  if (info.st_size > 0 && ::pread(file.get(), &last, 1, info.st_size - 1) != 1) last = '\n';
  if (last != '\n') lines.push_back('\n');
  lines.append(text);
  std::size_t done = 0;
  while (done < lines.size()) {
    const ssize_t n = ::write(file.get(), lines.data() + done, lines.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return SetSystemError(error, "cannot write", path);
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(file.get()) != 0) return SetSystemError(error, "cannot write", path);
  return true;
}

bool ReadLines(const std::string& path, std::string& text, std::int64_t maxBytes,
               std::string& error) {
  text.clear();
  const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return errno == ENOENT || SetSystemError(error, "cannot open", path);
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return SetSystemError(error, "cannot read", path);
  if (!S_ISREG(info.st_mode)) {
    error = path + " is not a regular file";
    return false;
  }
  if (!TakeLock(file.get(), LOCK_SH)) return SetSystemError(error, "cannot lock", path);
  if (::fstat(file.get(), &info) != 0) return SetSystemError(error, "cannot read", path);
  if (info.st_size > maxBytes) {
    error = path + " holds more than " + std::to_string(maxBytes / (1024 * 1024)) +
            " MiB: move it away to start a new one";
    return false;
  }
  text.resize(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::read(file.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return SetSystemError(error, "cannot read", path);
    if (n == 0) break;  // it cannot shrink while read, but stop rather than spin
    done += static_cast<std::size_t>(n);
  }
  text.resize(done);
  return true;
}

}  // namespace zorbent
