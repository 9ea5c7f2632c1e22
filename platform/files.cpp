#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <random>
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

bool ReadSmallFile(const std::string& path, std::int64_t maxBytes, std::string& text,
                   std::string& why, bool* missing) {
  std::vector<std::uint8_t> bytes;
  int error = 0;
  if (missing != nullptr) *missing = false;
  if (LoadWholeFile(path, bytes, maxBytes, &error) < 0) {
    if (missing != nullptr) *missing = error == ENOENT;
    why = error == EFBIG ? path + " is larger than " + std::to_string(maxBytes) + " bytes"
                         : "cannot read " + path + ": " + std::strerror(error != 0 ? error : EIO);
    return false;
  }
  text.assign(bytes.begin(), bytes.end());
  return true;
}

bool WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                         std::string& why, FileAccess access) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  // Random names, tried a few times: a name already there belongs to another writer.
  constexpr int kNameAttempts = 8;
  std::random_device random;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const fs::path temporary =
        target.parent_path() / ("." + target.filename().string() + "." + std::to_string(random()) +
                                std::to_string(random()) + ".tmp");
    std::error_code ec;
    if (fs::exists(temporary, ec)) continue;
    {
      errno = 0;
      std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
          std::fopen(temporary.string().c_str(), "wb"), &std::fclose);
      if (!file) {
        why = "cannot write " + temporary.string() + ": " + std::strerror(errno != 0 ? errno : EIO);
        return false;
      }
      if (access == FileAccess::kOwnerOnly)
        fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write, ec);
      if (ec) {
        why = "cannot write " + temporary.string() + ": " + ec.message();
        file.reset();
        fs::remove(temporary, ec);
        return false;
      }
      const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
      const bool flushed = std::fflush(file.get()) == 0;
      std::FILE* raw = file.release();
      const bool closed = std::fclose(raw) == 0;
      if (!written || !flushed || !closed) {
        why = "cannot write " + temporary.string() + ": " + std::strerror(errno != 0 ? errno : EIO);
        fs::remove(temporary, ec);
        return false;
      }
    }
    fs::rename(temporary, target, ec);
    if (ec) {
      why = "cannot write " + path + ": " + ec.message();
      fs::remove(temporary, ec);
      return false;
    }
    return true;
  }
  why = "cannot write " + path + ": no free temporary name beside it";
  return false;
}

bool WriteFileAtomically(const std::string& path, std::string_view text, std::string& why,
                         FileAccess access) {
  return WriteFileAtomically(
      path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), why,
      access);
}

std::string IntToText(std::int32_t value) {
  return std::to_string(value);
}

}  // namespace zorbent
