#include "ui/qt/main_dialog.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QScrollBar>
#include <QShortcut>
#include <QTextCursor>
#include <algorithm>
#include <cstdlib>
#if QT_CONFIG(sessionmanager)
#include <QSessionManager>
#endif

#include "ui/qt/about_dialog.h"
#include "ui/qt/app_icon.h"
#include "ui/qt/dialog_units.h"

namespace zorbent::ui {
namespace {

QString FromEngine(const std::string& text) {
  // The same 8-bit form ToEngine writes, so a device path read back from a list is the one
  // put into it, byte for byte.
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToEngine(const QString& text) {
  // Local 8-bit form: a path must reach the file system byte for byte.
  const QByteArray bytes = text.toLocal8Bit();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

QGroupBox* Group(QWidget* parent, const DialogUnits& du, const char* title, int x, int y, int w,
                 int h) {
  auto* box = new QGroupBox(QString::fromLatin1(title), parent);
  box->setGeometry(du.Rect(x, y, w, h));
  return box;
}

template <typename Button>
Button* MakeButton(QWidget* parent, const DialogUnits& du, const char* id, const char* text, int x,
                   int y, int w, int h) {
  auto* button = new Button(QString::fromLatin1(text), parent);
  button->setObjectName(QString::fromLatin1(id));
  button->setGeometry(du.Rect(x, y, w, h));
  return button;
}

void FillCombo(QComboBox* combo, const std::vector<std::string>& items) {
  combo->clear();
  for (const auto& item : items) combo->addItem(FromEngine(item));
  combo->setCurrentIndex(-1);
}

std::string ItemText(const QComboBox* combo, int index) {
  if (index < 0 || index >= combo->count()) return {};
  return ToEngine(combo->itemText(index));
}

}  // namespace

MainDialog::MainDialog(UpdateEngine& engine, MainController::PortLister listPorts, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName(QStringLiteral("102"));
  setWindowTitle(QStringLiteral("zOrbentFwUpdater v3.5"));
  setWindowIcon(AppIcon());
  const DialogUnits du(font());
  setFixedSize(du.X(462), du.Y(207));

  // Template order, which is also the tab order.
  LayOutConnection(du);
  LayOutFirmwareAndOutput(du);
  controller_ = std::make_unique<MainController>(*this, engine, std::move(listPorts));
  ConnectToController();
  controller_->Initialise();
}

void MainDialog::LayOutConnection(const DialogUnits& du) {
  // The pages sit in the "Comm Port" box.
  Group(this, du, "Device Type", 10, 10, 65, 65);
  bt_ = MakeButton<QRadioButton>(this, du, "1000", "BT", 20, 25, 24, 10);
  usb_ = MakeButton<QRadioButton>(this, du, "1001", "USB", 20, 40, 28, 10);
  wifi_ = MakeButton<QRadioButton>(this, du, "1002", "WIFI", 20, 55, 32, 10);
  commPort_ = Group(this, du, "Comm Port", 85, 10, 115, 65);
  commPort_->setObjectName(QStringLiteral("1003"));
  btPage_ = new SerialPage(this, QStringLiteral("129"));
  usbPage_ = new SerialPage(this, QStringLiteral("130"));
  wifiPage_ = new WifiPage(this);
  // The pages' first row sits 10 units down, as if the box's title were a narrow font's; a
  // taller title puts the frame lower, and the row would cross it. The pages keep the box's
  // rectangle; their controls move down by the difference.
  const int frameTop = commPort_->fontMetrics().height() + du.Y(2);
  const int shift = std::max(0, frameTop + du.Y(4) - du.Y(10));
  for (QWidget* page : {static_cast<QWidget*>(btPage_), static_cast<QWidget*>(usbPage_),
                        static_cast<QWidget*>(wifiPage_)}) {
    page->setGeometry(commPort_->geometry());
    for (QWidget* control : page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
      control->move(control->pos() + QPoint(0, shift));
  }
}

void MainDialog::LayOutFirmwareAndOutput(const DialogUnits& du) {
  Group(this, du, "Firmware", 10, 85, 190, 60);
  auto* pathLabel = new QLabel(QStringLiteral("Path:"), this);
  QRect pathRect = du.Rect(20, 100, 21, 8);
  pathRect.setWidth(std::max(pathRect.width(), pathLabel->sizeHint().width()));
  pathLabel->setGeometry(pathRect);
  path_ = new QLineEdit(this);
  path_->setObjectName(QStringLiteral("1004"));
  path_->setGeometry(du.Rect(45, 100, 145, 14));
  latest_ = MakeButton<QPushButton>(this, du, "1015", "Latest...", 85, 120, 50, 14);
  browse_ = MakeButton<QPushButton>(this, du, "1005", "Browse...", 140, 120, 50, 14);
  update_ = MakeButton<QPushButton>(this, du, "1006", "Update", 75, 155, 60, 30);
  update_->setDefault(true);
  Group(this, du, "Output:", 210, 10, 240, 165);
  output_ = new QPlainTextEdit(this);
  output_->setObjectName(QStringLiteral("1007"));
  output_->setGeometry(du.Rect(220, 25, 220, 120));
  // Long messages wrap rather than run off the right edge, and Tab leaves the box.
  output_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  output_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  output_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  output_->setTabChangesFocus(true);
  output_->setUndoRedoEnabled(false);
  clear_ = MakeButton<QPushButton>(this, du, "1008", "Clear", 390, 150, 50, 14);
  progress_ = new QProgressBar(this);
  progress_->setObjectName(QStringLiteral("1013"));
  progress_->setGeometry(du.Rect(210, 180, 240, 6));
  progress_->setTextVisible(false);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("1014"));
  status_->setGeometry(du.Rect(210, 190, 240, 10));
  status_->setTextFormat(Qt::PlainText);
  read_ = MakeButton<QPushButton>(this, du, "1009", "Read", 220, 150, 50, 14);
}

void MainDialog::ConnectToController() {
  MainController* c = controller_.get();
  connect(bt_, &QRadioButton::clicked, this, [c] { c->OnDeviceType(DeviceType::kBt); });
  connect(usb_, &QRadioButton::clicked, this, [c] { c->OnDeviceType(DeviceType::kUsb); });
  connect(wifi_, &QRadioButton::clicked, this, [c] { c->OnDeviceType(DeviceType::kWifi); });
  connect(browse_, &QPushButton::clicked, this, [c] { c->OnBrowse(); });
  connect(latest_, &QPushButton::clicked, this, [c] { c->OnLatest(); });
  connect(update_, &QPushButton::clicked, this, [c] { c->OnUpdate(); });
  connect(read_, &QPushButton::clicked, this, [c] { c->OnRead(); });
  connect(clear_, &QPushButton::clicked, this, [c] { c->OnClear(); });
  connect(btPage_->refresh(), &QPushButton::clicked, this,
          [c] { c->OnRefresh(SerialPageId::kBt); });
  connect(usbPage_->refresh(), &QPushButton::clicked, this,
          [c] { c->OnRefresh(SerialPageId::kUsb); });
  auto* about = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(about, &QShortcut::activated, this, [c] { c->OnAbout(); });
#if QT_CONFIG(sessionmanager)
  // Logging out during an update would cut its download short: the session manager is told
  // no while an Update runs, where it lets the window say so.
  if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    connect(gui, &QGuiApplication::commitDataRequest, this, [c](QSessionManager& manager) {
      if (c->UpdateRunning() && manager.allowsInteraction()) manager.cancel();
    });
  }
#endif
}

MainDialog::~MainDialog() {
  // Workers may still post reports: let them end while this object is whole.
  ending_ = true;
  controller_->Shutdown();
}

void MainDialog::reject() {
  if (ending_) return;
  controller_->OnClose();
}

void MainDialog::closeEvent(QCloseEvent* event) {
  // The dialog ends through reject(); a close box press must not hide it behind our back.
  event->ignore();
  if (!ending_) controller_->OnClose();
}

void MainDialog::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QAction* about = menu.addAction(QString::fromLatin1(kAboutMenuText));
  about->setShortcut(QKeySequence(Qt::Key_F1));
  if (menu.exec(event->globalPos()) == about) controller_->OnAbout();
}

SerialPage* MainDialog::Page(SerialPageId page) const {
  return page == SerialPageId::kBt ? btPage_ : usbPage_;
}

QWidget* MainDialog::ControlWidget(Control control) const {
  switch (control) {
    case Control::kBt:
      return bt_;
    case Control::kUsb:
      return usb_;
    case Control::kWifi:
      return wifi_;
    case Control::kPath:
      return path_;
    case Control::kBrowse:
      return browse_;
    case Control::kLatest:
      return latest_;
    case Control::kUpdate:
      return update_;
    case Control::kRead:
      return read_;
    case Control::kBtName:
      return btPage_->names();
    case Control::kBtRate:
      return btPage_->rates();
    case Control::kBtRefresh:
      return btPage_->refresh();
    case Control::kUsbName:
      return usbPage_->names();
    case Control::kUsbRate:
      return usbPage_->rates();
    case Control::kUsbRefresh:
      return usbPage_->refresh();
    case Control::kWifiAddress:
      return wifiPage_->address();
    case Control::kWifiPort:
      return wifiPage_->port();
  }
  return nullptr;
}

void MainDialog::SetControlEnabled(Control control, bool enabled) {
  if (QWidget* w = ControlWidget(control)) w->setEnabled(enabled);
}

void MainDialog::ShowPage(DeviceType type) {
  btPage_->setVisible(type == DeviceType::kBt);
  usbPage_->setVisible(type == DeviceType::kUsb);
  wifiPage_->setVisible(type == DeviceType::kWifi);
}

DeviceType MainDialog::CheckedDeviceType() const {
  if (bt_->isChecked()) return DeviceType::kBt;
  if (usb_->isChecked()) return DeviceType::kUsb;
  if (wifi_->isChecked()) return DeviceType::kWifi;
  return DeviceType::kNone;
}

std::string MainDialog::PathText() const {
  return ToEngine(path_->text());
}
void MainDialog::SetPathText(const std::string& text) {
  path_->setText(QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())));
}

void MainDialog::SetPortNames(SerialPageId page, const std::vector<std::string>& names) {
  FillCombo(Page(page)->names(), names);
  // The drop-down shows each device's description in full, wider than the closed list.
  Page(page)->names()->view()->setMinimumWidth(Page(page)->names()->view()->sizeHintForColumn(0));
}
void MainDialog::SetRates(SerialPageId page, const std::vector<std::string>& rates) {
  FillCombo(Page(page)->rates(), rates);
}
int MainDialog::SelectedName(SerialPageId page) const {
  return Page(page)->names()->currentIndex();
}
void MainDialog::SelectName(SerialPageId page, int index) {
  Page(page)->names()->setCurrentIndex(index);
}
std::string MainDialog::NameAt(SerialPageId page, int index) const {
  return ItemText(Page(page)->names(), index);
}
int MainDialog::SelectedRate(SerialPageId page) const {
  return Page(page)->rates()->currentIndex();
}
void MainDialog::SelectRate(SerialPageId page, int index) {
  Page(page)->rates()->setCurrentIndex(index);
}
std::string MainDialog::RateAt(SerialPageId page, int index) const {
  return ItemText(Page(page)->rates(), index);
}

std::string MainDialog::WifiAddress() const {
  return ToEngine(wifiPage_->address()->text());
}
void MainDialog::SetWifiAddress(const std::string& text) {
  wifiPage_->address()->setText(FromEngine(text));
}
std::string MainDialog::WifiPort() const {
  return ToEngine(wifiPage_->port()->text());
}
void MainDialog::SetWifiPort(const std::string& text) {
  wifiPage_->port()->setText(FromEngine(text));
}

void MainDialog::AppendOutput(const std::string& text) {
  QTextCursor cursor(output_->document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(FromEngine(text));
  output_->setTextCursor(cursor);
  output_->ensureCursorVisible();
  output_->verticalScrollBar()->setValue(output_->verticalScrollBar()->maximum());
}

void MainDialog::ReplaceOutput(const std::string& text) {
  output_->setPlainText(FromEngine(text));
  output_->verticalScrollBar()->setValue(output_->verticalScrollBar()->maximum());
}

void MainDialog::ResetProgress() {
  progress_->setStyleSheet(QString());
  progress_->setRange(0, 100);
  progress_->setValue(0);
}

void MainDialog::SetProgressBusy() {
  progress_->setRange(0, 0);
}

void MainDialog::ShowStatus(const std::string& text) {
  status_->setText(QString::fromStdString(text));
}

void MainDialog::ShowOutcome(OutcomeLook look) {
  progress_->setRange(0, 100);
  // A failure at 99 % must not pass for a success: the whole bar turns red. An update whose
  // version was not confirmed is amber, neither green nor red.
  const char* colour = look == OutcomeLook::kSucceeded ? "#2e7d32"
                       : look == OutcomeLook::kFailed  ? "#c62828"
                                                       : "#f9a825";
  QString style = QStringLiteral("QProgressBar::chunk { background-color: %1; }").arg(colour);
  if (look != OutcomeLook::kSucceeded)
    style += QStringLiteral(" QProgressBar { background-color: %1; }").arg(colour);
  progress_->setStyleSheet(style);
  progress_->setProperty("outcome", look == OutcomeLook::kSucceeded ? QStringLiteral("succeeded")
                                    : look == OutcomeLook::kFailed
                                        ? QStringLiteral("failed")
                                        : QStringLiteral("not confirmed"));
}

void MainDialog::SetProgress(int percent) {
  progress_->setRange(0, 100);
  progress_->setValue(percent);
}

bool MainDialog::IsShown() const {
  return !ending_ && isVisible();
}

void MainDialog::FocusUpdateButton() {
  update_->setFocus(Qt::OtherFocusReason);
}

void MainDialog::FocusControl(Control control) {
  if (QWidget* w = ControlWidget(control)) w->setFocus(Qt::OtherFocusReason);
}

std::optional<std::string> MainDialog::ChooseFirmwareFile() {
  // "*.*" would hide the many firmware files that have no extension here.
  const QString file =
      QFileDialog::getOpenFileName(this, QString(), QString(), QStringLiteral("Firmware File (*)"));
  if (file.isEmpty()) return std::nullopt;
  return ToEngine(file);
}

bool MainDialog::ConfirmCloseWhileRunning() {
  QMessageBox box(QMessageBox::Question, windowTitle(), FromEngine(controller_->CloseQuestion()),
                  QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::No);
  closeQuestion_ = &box;
  const int answer = box.exec();
  closeQuestion_ = nullptr;
  return answer == QMessageBox::Yes;
}

bool MainDialog::AskUsersWord(const std::string& question) {
  QMessageBox box(QMessageBox::Question, windowTitle(), FromEngine(question),
                  QMessageBox::Yes | QMessageBox::No, this);
  // Yes sends the adapter what a refusal held back: only a deliberate click gives it.
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

void MainDialog::DismissCloseQuestion() {
  if (closeQuestion_ != nullptr) closeQuestion_->done(QMessageBox::No);
}

void MainDialog::ShowAbout() {
  AboutDialog about;
  about.setWindowIcon(windowIcon());
  about.exec();
}

void MainDialog::EndDialog() {
  // A question or About box still open (the session ended under it) has nobody to close it.
  for (QWidget* window : QApplication::topLevelWidgets()) {
    auto* open = qobject_cast<QDialog*>(window);
    if (open != nullptr && open != this && open->isVisible()) open->reject();
  }
  ShowPage(DeviceType::kNone);
  QDialog::done(QDialog::Rejected);
}

void MainDialog::EndProcessNow() {
  std::_Exit(controller_->ExitStatus());
}

void MainDialog::Post(std::function<void()> task) {
  QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

}  // namespace zorbent::ui
