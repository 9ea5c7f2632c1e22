#pragma once

#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <memory>

#include "engine/update_engine.h"
#include "ui/main_controller.h"
#include "ui/main_view.h"
#include "ui/qt/connection_pages.h"

class QMessageBox;

namespace zorbent::ui {

class DialogUnits;

// The main window: lays out template 102 and forwards every event to MainController.
// Controls carry their numeric IDs as object names ("1006" is "Update").
class MainDialog : public QDialog, public MainView {
 public:
  MainDialog(UpdateEngine& engine, MainController::PortLister listPorts, QWidget* parent = nullptr);
  ~MainDialog() override;

  MainController& controller() { return *controller_; }
  SerialPage* btPage() const { return btPage_; }
  SerialPage* usbPage() const { return usbPage_; }
  WifiPage* wifiPage() const { return wifiPage_; }

  // Close box, Escape and Alt+F4 all arrive here.
  void reject() override;

  // MainView
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

 protected:
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void LayOutConnection(const DialogUnits& du);         // device type, the port pages
  void LayOutFirmwareAndOutput(const DialogUnits& du);  // file, buttons, output, progress
  void ConnectToController();
  SerialPage* Page(SerialPageId page) const;
  QWidget* ControlWidget(Control control) const;

  QRadioButton* bt_;
  QRadioButton* usb_;
  QRadioButton* wifi_;
  QGroupBox* commPort_;
  SerialPage* btPage_;
  SerialPage* usbPage_;
  WifiPage* wifiPage_;
  QLineEdit* path_;
  QPushButton* latest_;
  QPushButton* browse_;
  QPushButton* update_;
  QPlainTextEdit* output_;
  QPushButton* clear_;
  QProgressBar* progress_;
  QLabel* status_;  // under the bar: what the command waits for, or how far it is
  QPushButton* read_;
  bool ending_ = false;
  QMessageBox* closeQuestion_ = nullptr;  // while the close question is open
  std::unique_ptr<MainController> controller_;
};

}  // namespace zorbent::ui
