#pragma once

#include <string>

namespace zorbent {

// The folders this program keeps the user's files in, made on first use (only the user may
// enter them on Linux). Linux: $XDG_DATA_HOME/zorbent-fw (~/.local/share/zorbent-fw) and
// $XDG_CACHE_HOME/zorbent-fw (~/.cache/zorbent-fw); Windows: %LOCALAPPDATA%\zorbent-fw and its
// cache subfolder. ZORBENT_FW_DATA_DIR, when set, names the data folder instead.
// Each returns the folder's path, or an empty string with a sentence naming the folder and the
// system's reason in error.
std::string UserDataFolder(std::string& error);
std::string UserCacheFolder(std::string& error);

// What separates a folder from its files in the paths above.
#ifdef _WIN32
inline constexpr char kFolderSeparator = '\\';
#else
inline constexpr char kFolderSeparator = '/';
#endif

// The environment variable that names the data folder instead.
inline constexpr const char* kDataFolderVariable = "ZORBENT_FW_DATA_DIR";

}  // namespace zorbent
