#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ui/main_view.h"

namespace zorbent::ui::fake {

// A window without a toolkit: keeps every control's state, and runs posted tasks when the
// test pumps them, as an event loop would.
class FakeView : public MainView {
 public:
  struct SerialLists {
    std::vector<std::string> names;
    std::vector<std::string> rates;
    int name = -1;
    int rate = -1;
  };

  void SetControlEnabled(Control control, bool enabled) override {
    enabled_[control] = enabled;
    enableLog.emplace_back(control, enabled);
  }
  bool Enabled(Control control) const {
    const auto it = enabled_.find(control);
    return it == enabled_.end() || it->second;
  }
  void ShowPage(DeviceType type) override { shownPage = type; }
  DeviceType CheckedDeviceType() const override { return checked; }
  std::string PathText() const override { return path; }
  void SetPathText(const std::string& text) override { path = text; }
  void SetPortNames(SerialPageId page, const std::vector<std::string>& names) override {
    Lists(page) = {names, Lists(page).rates, -1, Lists(page).rate};
  }
  void SetRates(SerialPageId page, const std::vector<std::string>& rates) override {
    Lists(page) = {Lists(page).names, rates, Lists(page).name, -1};
  }
  int SelectedName(SerialPageId page) const override { return Lists(page).name; }
  void SelectName(SerialPageId page, int index) override { Lists(page).name = index; }
  std::string NameAt(SerialPageId page, int index) const override {
    return Lists(page).names.at(static_cast<std::size_t>(index));
  }
  int SelectedRate(SerialPageId page) const override { return Lists(page).rate; }
  void SelectRate(SerialPageId page, int index) override { Lists(page).rate = index; }
  std::string RateAt(SerialPageId page, int index) const override {
    return Lists(page).rates.at(static_cast<std::size_t>(index));
  }
  std::string WifiAddress() const override { return address; }
  void SetWifiAddress(const std::string& text) override { address = text; }
  std::string WifiPort() const override { return port; }
  void SetWifiPort(const std::string& text) override { port = text; }
  void AppendOutput(const std::string& text) override { output += text; }
  void ReplaceOutput(const std::string& text) override { output = text; }
  void ResetProgress() override { ++progressResets, progress = 0; }
  void SetProgress(int percent) override { progressLog.push_back(progress = percent); }
  bool IsShown() const override { return shown; }
  void FocusUpdateButton() override { focusOnUpdate = true; }
  std::optional<std::string> ChooseFirmwareFile() override { return chosenFile; }
  bool ConfirmCloseWhileRunning() override { return ++confirmations, confirmClose; }
  void DismissCloseQuestion() override { ++dismissals; }
  void ShowOutcome(bool succeeded) override { outcomes.push_back(succeeded); }
  void ShowAbout() override {}
  void EndDialog() override { ended = true; }
  void EndProcessNow() override { processEnded = true; }
  void Post(std::function<void()> task) override {
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    posted_.notify_all();
  }

  // Runs posted tasks until done() holds; false when it does not within the bound.
  bool PumpUntil(const std::function<bool()>& done, int boundMs = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!done())
      if (!RunOne(deadline)) return done();
    return true;
  }
  // Runs the tasks posted so far.
  void PumpPending() {
    while (RunOne(std::chrono::steady_clock::now())) {
    }
  }

  SerialLists& Lists(SerialPageId page) { return page == SerialPageId::kBt ? bt : usb; }
  const SerialLists& Lists(SerialPageId page) const { return page == SerialPageId::kBt ? bt : usb; }

  SerialLists bt;
  SerialLists usb;
  DeviceType checked = DeviceType::kNone;
  std::optional<DeviceType> shownPage;
  std::string path;
  std::string address;
  std::string port;
  std::string output;
  int progress = -1;
  int progressResets = 0;
  std::vector<int> progressLog;
  std::vector<std::pair<Control, bool>> enableLog;
  bool shown = true;
  bool focusOnUpdate = false;
  std::optional<std::string> chosenFile;
  bool confirmClose = false;
  int confirmations = 0;
  int dismissals = 0;
  std::vector<bool> outcomes;
  bool ended = false;
  bool processEnded = false;

 private:
  // Runs the oldest task, waiting for one until deadline; false when none came.
  bool RunOne(std::chrono::steady_clock::time_point deadline) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      if (!posted_.wait_until(lock, deadline, [&] { return !tasks_.empty(); })) return false;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
    return true;
  }

  std::map<Control, bool> enabled_;
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> tasks_;
};

}  // namespace zorbent::ui::fake
