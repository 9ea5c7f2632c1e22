#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/update_engine.h"
#include "ui/main_controller.h"
#include "ui/main_view.h"

namespace zorbent::ui {

// The main window as a Win32 dialog (template 102) with its three connection pages (129, 130,
// 131) as hidden child dialogs in the "Comm Port" box. Everything it decides is the
// controller's; this class only reads and writes controls.
class WinMainWindow final : public MainView {
 public:
  WinMainWindow(HINSTANCE instance, UpdateEngine& engine, MainController::PortLister listPorts);
  ~WinMainWindow() override;
  WinMainWindow(const WinMainWindow&) = delete;
  WinMainWindow& operator=(const WinMainWindow&) = delete;

  // Runs the window modally; returns when it has ended.
  INT_PTR RunModal();
  // Creates the window without a loop of its own (the caller pumps messages); null on failure.
  HWND CreateModeless();

  HWND Window() const { return hwnd_; }
  // The page of a device type; null for kNone or before creation.
  HWND Page(DeviceType type) const;
  MainController& Controller() { return *controller_; }
  // A modeless window that ends also ends its thread's message loop (WM_QUIT).
  void SetQuitOnDestroy(bool quit) { quitOnDestroy_ = quit; }
  // Checks a device type's radio button and shows its page, as a click does.
  void SelectDeviceType(DeviceType type);

  void SetControlEnabled(Control control, bool enabled) override;
  void ShowPage(DeviceType type) override;
  DeviceType CheckedDeviceType() const override;
  std::string PathText() const override;
  void SetPathText(const std::string& text) override;
  void SetPortNames(SerialPageId page, const std::vector<std::string>& names) override;
  void SetRates(SerialPageId page, const std::vector<std::string>& rates) override;
  int SelectedName(SerialPageId page) const override;
  void SelectName(SerialPageId page, int index) override;
  std::string NameAt(SerialPageId page, int index) const override;
  int SelectedRate(SerialPageId page) const override;
  void SelectRate(SerialPageId page, int index) override;
  std::string RateAt(SerialPageId page, int index) const override;
  std::string WifiAddress() const override;
  void SetWifiAddress(const std::string& text) override;
  std::string WifiPort() const override;
  void SetWifiPort(const std::string& text) override;
  void AppendOutput(const std::string& text) override;
  void ReplaceOutput(const std::string& text) override;
  void ResetProgress() override;
  void SetProgress(int percent) override;
  void SetProgressBusy() override;
  void ShowStatus(const std::string& text) override;
  bool IsShown() const override;
  void FocusUpdateButton() override;
  void FocusControl(Control control) override;
  std::optional<std::string> ChooseFirmwareFile() override;
  bool ConfirmCloseWhileRunning() override;
  bool AskUsersWord(const std::string& question) override;
  void DismissCloseQuestion() override;
  void ShowOutcome(OutcomeLook look) override;
  void ShowAbout() override;
  void EndDialog() override;
  void EndProcessNow() override;
  void Post(std::function<void()> task) override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR CALLBACK PageProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR CALLBACK AboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK NoteQuestionBox(int code, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnInitDialog();
  void OnCommand(int id, int code);
  bool OnPaint();
  void RunPosted();
  void Scroll(HWND box);
  void EndBusy();
  HWND SerialPage(SerialPageId page) const;
  HWND ControlWindow(Control control) const;

  HINSTANCE instance_;
  HICON icon_ = nullptr;
  HICON smallIcon_ = nullptr;
  bool modal_ = false;
  bool ending_ = false;
  bool quitOnDestroy_ = false;
  HWND closeQuestion_ = nullptr;  // while the close question is open
  HWND hwnd_ = nullptr;
  HWND btPage_ = nullptr;
  HWND usbPage_ = nullptr;
  HWND wifiPage_ = nullptr;
  std::unique_ptr<MainController> controller_;

  // Tasks from other threads; the window's own thread runs them on its private message.
  std::mutex postLock_;
  HWND postTarget_ = nullptr;  // null once the window is gone: later tasks are dropped
  bool wakePending_ = false;
  std::deque<std::function<void()>> posted_;
};

// Text for a Windows edit control: every "\n" not already after "\r" becomes "\r\n".
std::string ToEditLineEnds(std::string_view text);

}  // namespace zorbent::ui
