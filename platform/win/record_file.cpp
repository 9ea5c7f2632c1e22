#include <windows.h>

#include <algorithm>

#include "platform/record_file.h"
#include "platform/win/wide_text.h"

namespace zorbent {
namespace {

// A handle closed when it goes out of scope (its lock with it).
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

bool SetSystemError(std::string& error, const std::string& what, const std::string& path) {
  error = what + " " + path + ": " + SystemMessage(::GetLastError());
  return false;
}

// A folder cannot be opened as a file at all: said as what it is, not as access denied.
bool IsFolder(const std::string& path, std::string& error) {
  const DWORD attributes = ::GetFileAttributesW(WideText(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    return false;
  error = path + " is not a regular file";
  return true;
}

// The whole file, however long it grows; waits for the lock.
bool TakeLock(HANDLE file, DWORD flags) {
  OVERLAPPED at{};
  return ::LockFileEx(file, flags, 0, MAXDWORD, MAXDWORD, &at) != 0;
}

}  // namespace

bool AppendLines(const std::string& path, std::string_view text, std::string& error) {
  if (IsFolder(path, error)) return false;
  // Append data only: every write lands at the end as it is then, whoever else appends.
  const Handle file(::CreateFileW(WideText(path).c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return SetSystemError(error, "cannot open", path);
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
    error = path + " is not a regular file";
    return false;
  }
  if (!TakeLock(file.get(), LOCKFILE_EXCLUSIVE_LOCK))
    return SetSystemError(error, "cannot lock", path);
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) return SetSystemError(error, "cannot read", path);
  std::string lines;
  char last = '\n';
  if (size.QuadPart > 0) {
    OVERLAPPED at{};
    const ULONGLONG offset = static_cast<ULONGLONG>(size.QuadPart - 1);
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!::ReadFile(file.get(), &last, 1, &got, &at) || got != 1) last = '\n';
  }
  if (last != '\n') lines.push_back('\n');
  lines.append(text);
  std::size_t done = 0;
  while (done < lines.size()) {
    DWORD wrote = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(lines.size() - done, MAXDWORD));
    if (!::WriteFile(file.get(), lines.data() + done, chunk, &wrote, nullptr) || wrote == 0)
      return SetSystemError(error, "cannot write", path);
    done += wrote;
  }
  if (!::FlushFileBuffers(file.get())) return SetSystemError(error, "cannot write", path);
  return true;
}

bool ReadLines(const std::string& path, std::string& text, std::int64_t maxBytes,
               std::string& error) {
  text.clear();
  if (IsFolder(path, error)) return false;
  const Handle file(::CreateFileW(WideText(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
           SetSystemError(error, "cannot open", path);
  }
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
    error = path + " is not a regular file";
    return false;
  }
  if (!TakeLock(file.get(), 0)) return SetSystemError(error, "cannot lock", path);
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) return SetSystemError(error, "cannot read", path);
  if (size.QuadPart > maxBytes) {
    error = path + " holds more than " + std::to_string(maxBytes / (1024 * 1024)) +
            " MiB: move it away to start a new one";
    return false;
  }
  text.resize(static_cast<std::size_t>(size.QuadPart));
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD got = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, MAXDWORD));
    if (!::ReadFile(file.get(), text.data() + done, chunk, &got, nullptr))
      return SetSystemError(error, "cannot read", path);
    if (got == 0) break;
    done += got;
  }
  text.resize(done);
  return true;
}

}  // namespace zorbent
