#include "firmware/tuf/directory_store.h"

#include <filesystem>
#include <system_error>

#include "platform/files.h"

namespace zorbent::tuf {

namespace {

// Larger than any metadata the updater accepts from a repository.
constexpr std::int64_t kMaxStoredBytes = 64 * 1024 * 1024;

}  // namespace

std::string PercentEncode(std::string_view text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.') {
      out += c;
    } else {
      out += '%';
      out += kDigits[byte >> 4];
      out += kDigits[byte & 0x0F];
    }
  }
  return out;
}

std::string DirectoryStore::PathOf(std::string_view role) const {
  // "." and ".." as whole names would name folders.
  const std::string name = PercentEncode(role);
  return folder_ + "/" + (name == "." || name == ".." ? "%2E" + name.substr(1) : name) + ".json";
}

bool DirectoryStore::Load(std::string_view role, std::string& bytes) {
  std::string why;
  return ReadSmallFile(PathOf(role), kMaxStoredBytes, bytes, why) && !bytes.empty();
}

bool DirectoryStore::Save(std::string_view role, std::string_view bytes, std::string& why) {
  return WriteFileAtomically(PathOf(role), bytes, why);
}

bool DirectoryStore::Forget(std::string_view role, std::string& why) {
  std::error_code error;
  std::filesystem::remove(PathOf(role), error);
  if (!error) return true;
  why = "cannot remove " + PathOf(role) + ": " + error.message();
  return false;
}

}  // namespace zorbent::tuf
