#pragma once

// Trusted metadata kept in one folder as "<role>.json" (a delegated role's name
// percent-encoded into one file name), each written whole through a temporary file.

#include <string>

#include "firmware/tuf/updater.h"

namespace zorbent::tuf {

class DirectoryStore : public MetadataStore {
 public:
  explicit DirectoryStore(std::string folder) : folder_(std::move(folder)) {}
  bool Load(std::string_view role, std::string& bytes) override;
  bool Save(std::string_view role, std::string_view bytes, std::string& why) override;
  bool Forget(std::string_view role, std::string& why) override;
  // The file that holds role.
  std::string PathOf(std::string_view role) const;

 private:
  std::string folder_;
};

// text with every byte other than letters, digits and "-_." as %XX: a role's or a target's
// name as one file name or URL path segment.
std::string PercentEncode(std::string_view text);

}  // namespace zorbent::tuf
