#pragma once

#include <string>
#include <string_view>

namespace zorbent {

// The folders this program keeps the user's files in, made on first use (only the user may
// enter them on Linux). Linux: $XDG_DATA_HOME/zorbent-fw (~/.local/share/zorbent-fw) and
// $XDG_CACHE_HOME/zorbent-fw (~/.cache/zorbent-fw); Windows: %LOCALAPPDATA%\zorbent-fw and its
// cache subfolder. ZORBENT_FW_DATA_DIR and ZORBENT_FW_CACHE_DIR, when set, name them instead.
// Each returns the folder's path, or an empty string with a sentence naming the folder and the
// system's reason in error.
std::string UserDataFolder(std::string& error);
std::string UserCacheFolder(std::string& error);
// A folder below the cache folder (below uses kFolderSeparator), made with its parents.
std::string UserCacheFolder(std::string_view below, std::string& error);

// The folder of the user's settings, which this program only reads (so it is not made):
// $XDG_CONFIG_HOME/zorbent-fw (~/.config/zorbent-fw) on Linux, %LOCALAPPDATA%\zorbent-fw on
// Windows, or ZORBENT_FW_CONFIG_DIR. Empty, with a sentence in error, when the system does not
// say where.
std::string UserConfigFolder(std::string& error);

// What separates a folder from its files in the paths above.
#ifdef _WIN32
inline constexpr char kFolderSeparator = '\\';
#else
inline constexpr char kFolderSeparator = '/';
#endif

// The environment variable that names the data folder instead.
inline constexpr const char* kDataFolderVariable = "ZORBENT_FW_DATA_DIR";
// And those naming the cache and the settings folders instead.
inline constexpr const char* kCacheFolderVariable = "ZORBENT_FW_CACHE_DIR";
inline constexpr const char* kConfigFolderVariable = "ZORBENT_FW_CONFIG_DIR";

}  // namespace zorbent
