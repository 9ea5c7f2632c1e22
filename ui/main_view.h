#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zorbent::ui {

enum class DeviceType { kNone, kBt, kUsb, kWifi };
enum class SerialPageId { kBt, kUsb };
// How a command ended, as the window shows it at a glance.
enum class OutcomeLook { kSucceeded, kFailed, kNotConfirmed };

// The controls whose enabled state follows the command state, in the order they are set.
enum class Control {
  kBt,
  kUsb,
  kWifi,
  kPath,
  kBrowse,
  kUpdate,
  kRead,
  kBtName,
  kBtRate,
  kBtRefresh,
  kUsbName,
  kUsbRate,
  kUsbRefresh,
  kWifiAddress,
  kWifiPort,
  kLatest,
};

inline constexpr std::array<Control, 16> kCommandControls = {
    Control::kBt,         Control::kUsb,         Control::kWifi,     Control::kPath,
    Control::kBrowse,     Control::kUpdate,      Control::kRead,     Control::kBtName,
    Control::kBtRate,     Control::kBtRefresh,   Control::kUsbName,  Control::kUsbRate,
    Control::kUsbRefresh, Control::kWifiAddress, Control::kWifiPort, Control::kLatest,
};

// What the controller needs from the window: plain reads and writes of controls. Every call
// is made on the window's thread; Post is the one way in from another thread.
class MainView {
 public:
  virtual ~MainView() = default;

  virtual void SetControlEnabled(Control control, bool enabled) = 0;
  // Shows the page of a device type and hides the other two; kNone hides all three.
  virtual void ShowPage(DeviceType type) = 0;
  virtual DeviceType CheckedDeviceType() const = 0;

  virtual std::string PathText() const = 0;
  virtual void SetPathText(const std::string& text) = 0;

  // Empties a list and fills it with items in order; nothing is selected afterwards.
  virtual void SetPortNames(SerialPageId page, const std::vector<std::string>& names) = 0;
  virtual void SetRates(SerialPageId page, const std::vector<std::string>& rates) = 0;
  // Selected index, -1 when none.
  virtual int SelectedName(SerialPageId page) const = 0;
  virtual void SelectName(SerialPageId page, int index) = 0;
  virtual std::string NameAt(SerialPageId page, int index) const = 0;
  virtual int SelectedRate(SerialPageId page) const = 0;
  virtual void SelectRate(SerialPageId page, int index) = 0;
  virtual std::string RateAt(SerialPageId page, int index) const = 0;

  virtual std::string WifiAddress() const = 0;
  virtual void SetWifiAddress(const std::string& text) = 0;
  virtual std::string WifiPort() const = 0;
  virtual void SetWifiPort(const std::string& text) = 0;

  // Text with "\n" line ends; append keeps the last line in view.
  virtual void AppendOutput(const std::string& text) = 0;
  virtual void ReplaceOutput(const std::string& text) = 0;
  // Range 0..100, position 0.
  virtual void ResetProgress() = 0;
  virtual void SetProgress(int percent) = 0;
  // A bar that moves without a position: the command is alive, its length not yet known.
  // ResetProgress and SetProgress end it.
  virtual void SetProgressBusy() = 0;
  // The line under the bar: what the command waits for, or how far the download is.
  virtual void ShowStatus(const std::string& text) = 0;

  // False once the window is hidden or being torn down: reports are then dropped.
  virtual bool IsShown() const = 0;
  virtual void FocusUpdateButton() = 0;
  // Puts the keyboard focus on a control: the one a refused click says is missing or wrong.
  virtual void FocusControl(Control control) = 0;
  // The chosen file's full path, or nothing when the user cancelled.
  virtual std::optional<std::string> ChooseFirmwareFile() = 0;
  // Asked when the window is closed during a command; true to close anyway.
  virtual bool ConfirmCloseWhileRunning() = 0;
  // A Yes/No question with No as its default button (and as Escape where the box takes it);
  // true on Yes only.
  virtual bool AskUsersWord(const std::string& question) = 0;
  // The command ended: a close question still open no longer applies, nor anything the
  // window held back for the command (the end of the session).
  virtual void DismissCloseQuestion() = 0;
  // How the command ended, so success, failure and an unconfirmed update look different at a
  // glance; ResetProgress takes the look away.
  virtual void ShowOutcome(OutcomeLook look) = 0;
  virtual void ShowAbout() = 0;
  virtual void EndDialog() = 0;
  // Ends the process at once with the controller's ExitStatus.
  virtual void EndProcessNow() = 0;

  // Runs task on the window's thread after every task posted before it; a task still queued
  // when the window goes away is dropped.
  virtual void Post(std::function<void()> task) = 0;
};

}  // namespace zorbent::ui
