#pragma once

// What user_folders.cpp leaves to each system (posix/user_folders.cpp, win/user_folders.cpp).

#include <string>

namespace zorbent {

enum class SystemFolder { kData, kCache, kConfig };

// This program's folder of that kind where the system keeps them: ~/.local/share/zorbent-fw or
// ~/.cache/zorbent-fw or ~/.config/zorbent-fw (or under their XDG variables),
// %LOCALAPPDATA%\zorbent-fw (data and settings) and its cache subfolder on Windows. Empty, with a
// sentence in error, when the system does not say where.
std::string ProgramFolder(SystemFolder which, std::string& error);

// Makes folder and any missing parents (private to the user where the system has modes);
// true when it is a folder afterwards, else false with a sentence naming it in error.
bool MakeUserFolder(const std::string& folder, std::string& error);

}  // namespace zorbent
