#include "engine/firmware_file.h"

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/files.h"

namespace zorbent {
namespace {

std::string CannotRead(const std::string& path, int error) {
  return "cannot read " + path + ": " + std::strerror(error != 0 ? error : EIO);
}

}  // namespace

std::string FirmwareSizeProblem(const std::string& path, std::int64_t size) {
  if (size == 0) return path + " is empty: it is not a firmware file";
  if (size < kMinimumImageSize) {
    return path + " is too short (" + std::to_string(size) + " bytes) to hold a firmware image (" +
           std::to_string(kMinimumImageSize) + " bytes at least)";
  }
  if (size > kMaxFirmwareBytes)
    return path + " is larger than any adapter firmware (more than 16 MiB): is it the right file?";
  return {};
}

namespace {

// Why the path names no file to load; empty for a regular file.
std::string KindProblem(const std::string& path, const PathFacts& facts) {
  constexpr std::string_view kGiveTheFile =
      ", not a file: give the path of the firmware file itself";
  switch (facts.kind) {
    case PathKind::kRegular:
      return {};
    case PathKind::kNone:
      return CannotRead(path, facts.error != 0 ? facts.error : ENOENT);
    case PathKind::kDirectory:
      return path + " is a directory: give the firmware file itself";
    case PathKind::kPipe:
      // A pipe (`<(cat fw.txt)`) can be read only once, and not before a writer comes.
      return path + " is a pipe, not a file: save the firmware to a file and give that file's path";
    case PathKind::kDevice:
      return path + " is a device" + std::string(kGiveTheFile);
    case PathKind::kSocket:
      return path + " is a socket" + std::string(kGiveTheFile);
    case PathKind::kOther:
      break;
  }
  return path + " is not a regular file: give the path of the firmware file itself";
}

}  // namespace

bool LoadFirmwareFile(const std::string& path, std::vector<std::uint8_t>& image, std::string& why) {
  image.clear();
  const PathFacts facts = LookAtPath(path);
  why = KindProblem(path, facts);
  if (why.empty()) why = FirmwareSizeProblem(path, facts.size);  // before a byte is read
  if (!why.empty()) return false;
  int error = 0;
  const std::int64_t size = LoadWholeFile(path, image, kMaxFirmwareBytes, &error);
  if (size < 0) {
    // Grown past the bound since it was looked at, or unreadable.
    why =
        error == EFBIG ? FirmwareSizeProblem(path, kMaxFirmwareBytes + 1) : CannotRead(path, error);
    return false;
  }
  why = FirmwareSizeProblem(path, size);  // it may have shrunk
  if (why.empty()) return true;
  image.clear();
  image.shrink_to_fit();
  return false;
}

}  // namespace zorbent
