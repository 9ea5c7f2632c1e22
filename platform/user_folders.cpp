#include "platform/user_folders.h"

#include <cstdlib>

#include "platform/user_folders_os.h"

namespace zorbent {

namespace {

// The folder a variable names, else the system's place for it.
std::string ChosenFolder(const char* variable, SystemFolder which, std::string& error) {
  const char* chosen = std::getenv(variable);
  return chosen != nullptr && *chosen != '\0' ? std::string(chosen) : ProgramFolder(which, error);
}

}  // namespace

std::string UserDataFolder(std::string& error) {
  const std::string folder = ChosenFolder(kDataFolderVariable, SystemFolder::kData, error);
  if (folder.empty()) return {};
  return MakeUserFolder(folder, error) ? folder : std::string();
}

std::string UserCacheFolder(std::string& error) {
  const std::string folder = ChosenFolder(kCacheFolderVariable, SystemFolder::kCache, error);
  if (folder.empty()) return {};
  return MakeUserFolder(folder, error) ? folder : std::string();
}

std::string UserCacheFolder(std::string_view below, std::string& error) {
  const std::string cache = UserCacheFolder(error);
  if (cache.empty()) return {};
  const std::string folder = cache + kFolderSeparator + std::string(below);
  return MakeUserFolder(folder, error) ? folder : std::string();
}

std::string UserConfigFolder(std::string& error) {
  return ChosenFolder(kConfigFolderVariable, SystemFolder::kConfig, error);
}

}  // namespace zorbent
