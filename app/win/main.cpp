// zorbentFwUpdater.exe: the main window, run modally; the process lives as long as it does.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "engine/update_engine.h"
#include "ui/serial_ports.h"
#include "ui/win/main_window.h"
#include "zorbent_version.h"

namespace {

// "--device=bt|usb|wifi" starts with that device type chosen (used for screenshots).
zorbent::ui::DeviceType DeviceFromCommandLine(const char* line) {
  using zorbent::ui::DeviceType;
  if (line == nullptr) return DeviceType::kNone;
  if (std::strstr(line, "--device=bt") != nullptr) return DeviceType::kBt;
  if (std::strstr(line, "--device=usb") != nullptr) return DeviceType::kUsb;
  if (std::strstr(line, "--device=wifi") != nullptr) return DeviceType::kWifi;
  return DeviceType::kNone;
}

constexpr char kVersionText[] = "zOrbentFwUpdater " ZORBENT_VERSION "\n";
constexpr char kHelpText[] =
    "Usage: zorbentFwUpdater [options]\n"
    "zOrbentFwUpdater " ZORBENT_VERSION
    ": firmware updater for OBD-II adapters (serial, Bluetooth and WiFi).\n"
    "\n"
    "Options:\n"
    "  -h, --help            Displays help on commandline options.\n"
    "  -v, --version         Displays version information.\n"
    "  --device=bt|usb|wifi  Starts with that device type chosen.\n";

// The whole-word command line option among the words of line, if any.
bool HasWord(std::string_view line, std::string_view word) {
  for (std::size_t at = line.find(word); at != std::string_view::npos;
       at = line.find(word, at + 1)) {
    const bool startOk = at == 0 || line[at - 1] == ' ' || line[at - 1] == '\t';
    const std::size_t end = at + word.size();
    const bool endOk = end == line.size() || line[end] == ' ' || line[end] == '\t';
    if (startOk && endOk) return true;
  }
  return false;
}

// A window program has no console of its own: write to a redirected stdout or the console it
// was started from; started from Explorer, show the text in a message box instead.
void Tell(const char* text) {
  const DWORD size = static_cast<DWORD>(std::strlen(text));
  DWORD written = 0;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out != nullptr && out != INVALID_HANDLE_VALUE &&
      WriteFile(out, text, size, &written, nullptr))
    return;
  if (AttachConsole(ATTACH_PARENT_PROCESS)) {
    out =
        CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
      const BOOL ok = WriteFile(out, text, size, &written, nullptr);
      CloseHandle(out);
      if (ok) return;
    }
  }
  MessageBoxA(nullptr, text, "zOrbentFwUpdater", MB_OK | MB_ICONINFORMATION);
}

// The first word of line that is none of the options above, or empty.
std::string_view UnknownOption(std::string_view line) {
  constexpr std::string_view kKnown[] = {"--version",   "-v",           "--help",       "-h", "/?",
                                         "--device=bt", "--device=usb", "--device=wifi"};
  while (!line.empty()) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) break;
    const std::size_t end = line.find_first_of(" \t", start);
    const std::string_view word = line.substr(start, end - start);
    if (std::find(std::begin(kKnown), std::end(kKnown), word) == std::end(kKnown)) return word;
    line = end == std::string_view::npos ? std::string_view() : line.substr(end);
  }
  return {};
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_WIN95_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
  InitCommonControlsEx(&controls);

  const std::string_view line = commandLine != nullptr ? commandLine : "";
  if (HasWord(line, "--version") || HasWord(line, "-v")) {
    Tell(kVersionText);
    return 0;
  }
  if (HasWord(line, "--help") || HasWord(line, "-h") || HasWord(line, "/?")) {
    Tell(kHelpText);
    return 0;
  }

  if (const std::string_view unknown = UnknownOption(line); !unknown.empty()) {
    Tell(("zorbentFwUpdater: unknown option '" + std::string(unknown) +
          "'. Run zorbentFwUpdater --help for the options.\n")
             .c_str());
    return 1;
  }

  zorbent::UpdateEngine engine;
  zorbent::ui::WinMainWindow window(instance, engine,
                                    [] { return zorbent::ui::ListPortChoices(); });
  const zorbent::ui::DeviceType device = DeviceFromCommandLine(commandLine);
  constexpr char kNoWindow[] =
      "zorbentFwUpdater: the window could not be opened: the system refused it (no desktop "
      "to show it on?). zorbent-fw.exe updates from the command line.\n";
  if (device == zorbent::ui::DeviceType::kNone) {
    if (window.RunModal() != -1) return window.Controller().ExitStatus();
    Tell(kNoWindow);
    return 1;
  }
  // A chosen device type needs the window first: run it modelessly with the same loop.
  window.SetQuitOnDestroy(true);
  HWND hwnd = window.CreateModeless();
  if (hwnd == nullptr) {
    Tell(kNoWindow);
    return 1;
  }
  window.SelectDeviceType(device);
  MSG message{};
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (window.Window() == nullptr || !IsDialogMessageA(window.Window(), &message)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  return window.Controller().ExitStatus();
}
