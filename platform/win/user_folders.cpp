// The shell headers need what windows.h declares first.
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include "platform/user_folders_os.h"
#include "platform/win/wide_text.h"

namespace zorbent {

std::string ProgramFolder(SystemFolder which, std::string& error) {
  PWSTR local = nullptr;
  const HRESULT result = ::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &local);
  std::string base = SUCCEEDED(result) ? NarrowText(local) : std::string();
  ::CoTaskMemFree(local);
  if (base.empty()) {
    error = "Windows does not say where the local application data folder (%LOCALAPPDATA%) is";
    return {};
  }
  base += "\\zorbent-fw";
  return which == SystemFolder::kCache ? base + "\\cache" : base;
}

bool MakeUserFolder(const std::string& folder, std::string& error) {
  // Each missing folder on the way, from the top down; "C:" and "\\server\share" exist.
  for (std::size_t cut = folder.find_first_of("\\/", 3);;
       cut = folder.find_first_of("\\/", cut + 1)) {
    const std::string part = folder.substr(0, cut);
    if (!::CreateDirectoryW(WideText(part).c_str(), nullptr) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS && ::GetLastError() != ERROR_ACCESS_DENIED) {
      error = "cannot make the folder " + part + ": " + SystemMessage(::GetLastError());
      return false;
    }
    if (cut == std::string::npos) break;
  }
  const DWORD attributes = ::GetFileAttributesW(WideText(folder).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    error = "cannot make the folder " + folder + ": " + SystemMessage(::GetLastError());
    return false;
  }
  return true;
}

}  // namespace zorbent
