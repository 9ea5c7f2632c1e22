#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/user_folders_os.h"

namespace zorbent {
namespace {

constexpr mode_t kPrivateFolder = 0700;  // what the XDG base directories ask for

}  // namespace

std::string ProgramFolder(SystemFolder which, std::string& error) {
  // An XDG variable counts only with an absolute path; otherwise the default under the home.
  const char* variable = which == SystemFolder::kData    ? "XDG_DATA_HOME"
                         : which == SystemFolder::kCache ? "XDG_CACHE_HOME"
                                                         : "XDG_CONFIG_HOME";
  const char* base = std::getenv(variable);
  if (base != nullptr && base[0] == '/') return std::string(base) + "/zorbent-fw";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    error = std::string("neither $") + variable +
            " nor $HOME names an absolute folder to keep this program's files in";
    return {};
  }
  const char* under = which == SystemFolder::kData    ? "/.local/share"
                      : which == SystemFolder::kCache ? "/.cache"
                                                      : "/.config";
  return std::string(home) + under + "/zorbent-fw";
}

bool MakeUserFolder(const std::string& folder, std::string& error) {
  // Each missing folder on the way, from the top down.
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (!part.empty() && ::mkdir(part.c_str(), kPrivateFolder) != 0 && errno != EEXIST) {
      error = "cannot make the folder " + part + ": " + std::strerror(errno);
      return false;
    }
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    error = folder + " is not a folder";
    return false;
  }
  return true;
}

}  // namespace zorbent
