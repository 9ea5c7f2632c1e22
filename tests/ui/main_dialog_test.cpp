#include "ui/qt/main_dialog.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pty_pair.h"
#include "ui/qt/about_dialog.h"

namespace zorbent::ui {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> VersionPeer(const std::string& command) {
  if (command == "QKVERS\r") return {command + "V2.3.1\r\r>"};
  if (command == "QKI\r") return {command + "zOrbent MC v2.2.5\r\r>"};
  return {command + "OK\r\r>"};
}

// A Read's output; an engine built without adapter identification reports its failure.
const std::vector<std::string> kReadOutputs = {
    "Port is opened!\ndevice version:V2.3.1\nAdapter version:zOrbent MC v2.2.5\n",
    "Port is opened!\n**Failed** The device did not report its version!\n"};

// A WiFi adapter on 127.0.0.1: accepts one client and answers each command as VersionPeer.
class LoopbackAdapter {
 public:
  LoopbackAdapter() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackAdapter() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
  }
  int Port() const { return port_; }

 private:
  // Waits in poll with a bound, so the peer ends by itself.
  bool WaitReadable(int fd) {
    for (int i = 0; i < 200 && !stop_; ++i) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) > 0) return true;
    }
    return false;
  }
  void Serve() {
    if (!WaitReadable(listener_)) return;
    const int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    std::string pending;
    char buffer[256];
    while (WaitReadable(client)) {
      const ssize_t n = ::read(client, buffer, sizeof buffer);
      if (n <= 0) break;
      pending.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pending.find('\r')) != std::string::npos;) {
        for (const auto& chunk : VersionPeer(pending.substr(0, end + 1))) {
          if (::write(client, chunk.data(), chunk.size()) < 0) break;
        }
        pending.erase(0, end + 1);
      }
    }
    ::close(client);
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class DialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "ui_main_dialog_test";
    static char* argv[] = {name, nullptr};
    if (QApplication::instance() == nullptr) app_ = new QApplication(argc, argv);
  }

  void Open(std::vector<std::string> ports) {
    ports_ = std::move(ports);
    dialog_ = std::make_unique<MainDialog>(engine_, [this] { return ports_; });
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
  }
  template <typename T>
  T* Control(const char* id) const {
    T* widget = dialog_->findChild<T*>(QString::fromLatin1(id), Qt::FindDirectChildrenOnly);
    EXPECT_NE(widget, nullptr) << id;
    return widget;
  }
  std::string Output() const {
    return Control<QPlainTextEdit>("1007")->toPlainText().toStdString();
  }
  int Progress() const { return Control<QProgressBar>("1013")->value(); }
  bool WaitIdle() {
    return QTest::qWaitFor([this] { return !dialog_->controller().IsRunning(); }, 20000);
  }
  std::string TempFile(const std::string& content) {
    const fs::path p = fs::temp_directory_path() / ("zorbent-ui-dlg-" + std::to_string(::getpid()) +
                                                    "-" + std::to_string(files_.size()));
    std::ofstream(p, std::ios::binary) << content;
    files_.push_back(p);
    return p.string();
  }
  void TearDown() override {
    dialog_.reset();
    for (const auto& p : files_) fs::remove(p);
  }

  static inline QApplication* app_ = nullptr;
  UpdateEngine engine_;
  std::vector<std::string> ports_;
  std::unique_ptr<MainDialog> dialog_;
  std::vector<fs::path> files_;
};

TEST_F(DialogTest, StartsWithTheTemplateControlsAndNoPageShown) {
  Open({"ttyUSB0"});
  EXPECT_EQ(dialog_->windowTitle(), QStringLiteral("zOrbentFwUpdater v3.5"));
  EXPECT_EQ(dialog_->minimumSize(), dialog_->maximumSize());  // fixed size
  EXPECT_FALSE(dialog_->windowIcon().isNull());
  const std::vector<std::pair<const char*, const char*>> buttons = {
      {"1005", "Browse..."}, {"1006", "Update"}, {"1008", "Clear"}, {"1009", "Read"}};
  for (const auto& [id, text] : buttons) {
    EXPECT_EQ(Control<QPushButton>(id)->text(), QString::fromLatin1(text));
  }
  EXPECT_TRUE(Control<QPushButton>("1006")->isDefault());
  for (const char* id : {"1000", "1001", "1002"}) {
    EXPECT_FALSE(Control<QRadioButton>(id)->isChecked());
  }
  EXPECT_EQ(Control<QGroupBox>("1003")->title(), QStringLiteral("Comm Port"));
  for (QWidget* page :
       {static_cast<QWidget*>(dialog_->btPage()), static_cast<QWidget*>(dialog_->usbPage()),
        static_cast<QWidget*>(dialog_->wifiPage())}) {
    EXPECT_FALSE(page->isVisible());
    EXPECT_EQ(page->geometry(), Control<QGroupBox>("1003")->geometry());
  }
  EXPECT_EQ(dialog_->usbPage()->names()->currentText(), QStringLiteral("ttyUSB0"));
  EXPECT_EQ(dialog_->usbPage()->rates()->count(), 13);
  EXPECT_EQ(dialog_->btPage()->rates()->currentText(), QStringLiteral("115200"));
  EXPECT_TRUE(Control<QPushButton>("1006")->hasFocus());

  QTest::mouseClick(Control<QRadioButton>("1002"), Qt::LeftButton);
  EXPECT_TRUE(dialog_->wifiPage()->isVisible());
  EXPECT_EQ(dialog_->wifiPage()->address()->text(), QStringLiteral("192.168.0.10"));
  EXPECT_EQ(dialog_->wifiPage()->port()->text(), QStringLiteral("35000"));
  dialog_->wifiPage()->port()->setText(QStringLiteral("35001"));
  QTest::mouseClick(Control<QRadioButton>("1000"), Qt::LeftButton);
  EXPECT_TRUE(dialog_->btPage()->isVisible());
  EXPECT_FALSE(dialog_->wifiPage()->isVisible());
  EXPECT_EQ(dialog_->wifiPage()->port()->text(), QStringLiteral("35001"));
}

TEST_F(DialogTest, TabOrderFollowsTheTemplate) {
  Open({});
  std::vector<std::string> order;
  QWidget* w = Control<QRadioButton>("1000");
  for (int i = 0; i < 40 && w != nullptr; ++i, w = w->nextInFocusChain()) {
    if (w->parentWidget() == dialog_.get() && !w->objectName().isEmpty() &&
        w->focusPolicy() != Qt::NoFocus) {
      if (!order.empty() && w->objectName() == QString::fromStdString(order.front())) break;
      order.push_back(w->objectName().toStdString());
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"1000", "1001", "1002", "1004", "1005", "1006", "1007",
                                             "1008", "1009"}));
}

TEST_F(DialogTest, ReadOverASerialPortShowsTheVersionsAndReenablesTheControls) {
  test::PtyPair pty;
  pty.StartResponder(VersionPeer);
  Open({"ttyUSB0", pty.SlavePath()});
  QTest::mouseClick(Control<QRadioButton>("1001"), Qt::LeftButton);
  dialog_->usbPage()->names()->setCurrentIndex(1);
  QTest::mouseClick(Control<QPushButton>("1009"), Qt::LeftButton);
  EXPECT_FALSE(Control<QPushButton>("1006")->isEnabled());
  EXPECT_FALSE(dialog_->usbPage()->names()->isEnabled());
  EXPECT_TRUE(Control<QPushButton>("1008")->isEnabled());
  EXPECT_TRUE(Control<QPlainTextEdit>("1007")->isEnabled());
  ASSERT_TRUE(WaitIdle());
  EXPECT_THAT(Output(), ::testing::AnyOfArray(kReadOutputs));
  for (const char* id : {"1000", "1001", "1002", "1004", "1005", "1006", "1009"}) {
    EXPECT_TRUE(dialog_->findChild<QWidget*>(QString::fromLatin1(id))->isEnabled()) << id;
  }
  EXPECT_TRUE(dialog_->usbPage()->refresh()->isEnabled());
  EXPECT_TRUE(dialog_->wifiPage()->port()->isEnabled());

  QTest::mouseClick(Control<QPushButton>("1008"), Qt::LeftButton);
  EXPECT_TRUE(Output().empty());
}

TEST_F(DialogTest, ReadOverWifiReachesTheAdapterOnLoopback) {
  LoopbackAdapter adapter;
  ASSERT_GT(adapter.Port(), 0);
  Open({});
  QTest::mouseClick(Control<QRadioButton>("1002"), Qt::LeftButton);
  dialog_->wifiPage()->address()->setText(QStringLiteral("127.0.0.1"));
  dialog_->wifiPage()->port()->setText(QString::number(adapter.Port()));
  QTest::mouseClick(Control<QPushButton>("1009"), Qt::LeftButton);
  ASSERT_TRUE(WaitIdle());
  EXPECT_THAT(Output(), ::testing::AnyOfArray(kReadOutputs));
  EXPECT_TRUE(dialog_->wifiPage()->address()->isEnabled());
}

TEST_F(DialogTest, UpdateWithABadFileShowsTheFormatError) {
  test::PtyPair pty;
  pty.StartResponder(VersionPeer);
  Open({pty.SlavePath()});
  QTest::mouseClick(Control<QRadioButton>("1000"), Qt::LeftButton);
  // Empty path: nothing happens at all.
  QTest::mouseClick(Control<QPushButton>("1006"), Qt::LeftButton);
  EXPECT_TRUE(Control<QPushButton>("1006")->isEnabled());
  EXPECT_TRUE(Output().empty());
  QTest::keyClicks(Control<QLineEdit>("1004"),
                   QString::fromStdString(TempFile(std::string(300, '#'))));
  QTest::mouseClick(Control<QPushButton>("1006"), Qt::LeftButton);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Output(), "Port is opened!\n**Failed** update file format error!\n");
  EXPECT_EQ(Progress(), 2);
  EXPECT_TRUE(Control<QPushButton>("1006")->isEnabled());
}

TEST_F(DialogTest, OverLongWifiAddressIsRefusedInTheOutputBox) {
  Open({});
  QTest::mouseClick(Control<QRadioButton>("1002"), Qt::LeftButton);
  dialog_->wifiPage()->address()->setText(QString(300, QLatin1Char('9')));
  QTest::mouseClick(Control<QPushButton>("1009"), Qt::LeftButton);
  EXPECT_EQ(Output().rfind("**Failed** IP address is too long", 0), 0u);
  EXPECT_TRUE(Control<QPushButton>("1009")->isEnabled());
}

TEST_F(DialogTest, AboutBoxOpensWithF1AndClosesWithEscape) {
  Open({});
  QString title;
  QStringList texts;
  QTimer::singleShot(0, [&] {
    QWidget* about = QApplication::activeModalWidget();
    if (about == nullptr) return;
    title = about->windowTitle();
    for (auto* label : about->findChildren<QLabel*>()) texts << label->text();
    QTest::keyClick(about, Qt::Key_Escape);
  });
  QTest::keyClick(dialog_.get(), Qt::Key_F1);
  EXPECT_EQ(title, QStringLiteral("About zOrbentFwUpdater"));
  EXPECT_TRUE(texts.contains(QStringLiteral("zOrbentFwUpdater v3.5")));
  EXPECT_TRUE(dialog_->isVisible());
  EXPECT_EQ(QString::fromLatin1(kAboutMenuText), QStringLiteral("&About zOrbentFwUpdater..."));
}

TEST_F(DialogTest, ClosingWhileIdleEndsTheDialogAndRaisesTheStopRequest) {
  Open({});
  ASSERT_FALSE(StopRequested());
  QTest::keyClick(dialog_.get(), Qt::Key_Escape);
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(dialog_->result(), QDialog::Rejected);
  EXPECT_TRUE(StopRequested());
}

TEST_F(DialogTest, ReportsQueuedForADestroyedWindowAreDropped) {
  test::PtyPair pty;
  pty.StartResponder(VersionPeer);
  Open({pty.SlavePath()});
  QTest::mouseClick(Control<QRadioButton>("1001"), Qt::LeftButton);
  QTest::mouseClick(Control<QPushButton>("1009"), Qt::LeftButton);
  dialog_.reset();  // waits for the worker; its queued reports must go nowhere
  QApplication::processEvents();
  SUCCEED();
}

}  // namespace
}  // namespace zorbent::ui
