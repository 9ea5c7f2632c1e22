// zorbentFwUpdater.exe: the main window, run modally; the process lives as long as it does.
#include <windows.h>

#include <commctrl.h>

#include <cstring>

#include "engine/update_engine.h"
#include "ui/serial_ports.h"
#include "ui/win/main_window.h"

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

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_WIN95_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
  InitCommonControlsEx(&controls);

  zorbent::UpdateEngine engine;
  zorbent::ui::WinMainWindow window(instance, engine,
                                    [] { return zorbent::ui::ListPortChoices(); });
  const zorbent::ui::DeviceType device = DeviceFromCommandLine(commandLine);
  if (device == zorbent::ui::DeviceType::kNone) {
    window.RunModal();
    return 0;
  }
  // A chosen device type needs the window first: run it modelessly with the same loop.
  window.SetQuitOnDestroy(true);
  HWND hwnd = window.CreateModeless();
  if (hwnd == nullptr) return 1;
  window.SelectDeviceType(device);
  MSG message{};
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (window.Window() == nullptr || !IsDialogMessageA(window.Window(), &message)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  return 0;
}
