#include "platform/user_folders.h"

#include <cstdlib>

#include "platform/user_folders_os.h"

namespace zorbent {

std::string UserDataFolder(std::string& error) {
  const char* chosen = std::getenv(kDataFolderVariable);
  const std::string folder = chosen != nullptr && *chosen != '\0'
                                 ? std::string(chosen)
                                 : ProgramFolder(SystemFolder::kData, error);
  if (folder.empty()) return {};
  return MakeUserFolder(folder, error) ? folder : std::string();
}

std::string UserCacheFolder(std::string& error) {
  const std::string folder = ProgramFolder(SystemFolder::kCache, error);
  if (folder.empty()) return {};
  return MakeUserFolder(folder, error) ? folder : std::string();
}

}  // namespace zorbent
