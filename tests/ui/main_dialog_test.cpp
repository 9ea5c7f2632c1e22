#include "ui/qt/main_dialog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/sim_adapter.h"
#include "ui/qt/about_dialog.h"
#include "zorbent_version.h"

namespace zorbent::ui {
namespace {

namespace fs = std::filesystem;

// A zOrbent MC adapter (line mode) on a pseudo-terminal or on 127.0.0.1.
test::RunningAdapter McAdapter(bool tcp = false) {
  return test::RunningAdapter(test::AdapterModel(1, tcp));
}

// What a Read of that adapter shows.
const auto kReadOutput =
    ::testing::AllOf(::testing::StartsWith("Connecting to "),
                     ::testing::HasSubstr(" ...\nPort is opened!\ndevice version:"),
                     ::testing::HasSubstr("\nAdapter version:zOrbent MC v"));

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
    dialog_ = std::make_unique<MainDialog>(engine_, [this] { return PlainChoices(ports_); });
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
  void ExpectCommandControlsEnabled() const {
    for (const char* id : {"1000", "1001", "1002", "1004", "1005", "1006", "1009"})
      EXPECT_TRUE(dialog_->findChild<QWidget*>(QString::fromLatin1(id))->isEnabled()) << id;
    EXPECT_TRUE(dialog_->usbPage()->refresh()->isEnabled());
    EXPECT_TRUE(dialog_->wifiPage()->port()->isEnabled());
  }
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

TEST_F(DialogTest, OutputWrapsTabLeavesItAndThePagesClearTheirFrame) {
  Open({"ttyUSB0"});
  auto* output = Control<QPlainTextEdit>("1007");
  EXPECT_EQ(output->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  EXPECT_TRUE(output->tabChangesFocus());
  QTest::mouseClick(Control<QRadioButton>("1001"), Qt::LeftButton);
  auto* box = Control<QGroupBox>("1003");
  QWidget* name = dialog_->usbPage()->names();
  const int rowTop = name->mapTo(dialog_.get(), QPoint(0, 0)).y();
  EXPECT_GT(rowTop, box->geometry().top() + box->fontMetrics().height()) << "row crosses the frame";
  QWidget* refresh = dialog_->usbPage()->refresh();
  EXPECT_LE(refresh->mapTo(dialog_.get(), QPoint(0, refresh->height())).y(),
            box->geometry().bottom());
}

TEST_F(DialogTest, F1OpensTheAboutBoxAndEscapeClosesItThenTheWindow) {
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
  EXPECT_TRUE(texts.contains(QStringLiteral("Version " ZORBENT_VERSION)));
  EXPECT_TRUE(dialog_->isVisible());
  EXPECT_EQ(QString::fromLatin1(kAboutMenuText), QStringLiteral("&About zOrbentFwUpdater..."));

  // Escape in the window itself closes it while idle and raises the stop request.
  ASSERT_FALSE(StopRequested());
  QTest::keyClick(dialog_.get(), Qt::Key_Escape);
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(dialog_->result(), QDialog::Rejected);
  EXPECT_TRUE(StopRequested());
}

TEST_F(DialogTest, ReadOverSerialAndWifiShowsTheVersionsAndReenablesTheControls) {
  test::RunningAdapter serial = McAdapter();
  Open({"ttyUSB0", serial.Device()});
  QTest::mouseClick(Control<QRadioButton>("1001"), Qt::LeftButton);
  dialog_->usbPage()->names()->setCurrentIndex(1);
  QTest::mouseClick(Control<QPushButton>("1009"), Qt::LeftButton);
  EXPECT_FALSE(Control<QPushButton>("1006")->isEnabled());
  EXPECT_FALSE(dialog_->usbPage()->names()->isEnabled());
  EXPECT_TRUE(Control<QPushButton>("1008")->isEnabled());
  EXPECT_TRUE(Control<QPlainTextEdit>("1007")->isEnabled());
  ASSERT_TRUE(WaitIdle());
  EXPECT_THAT(Output(), kReadOutput);
  ExpectCommandControlsEnabled();
  QTest::mouseClick(Control<QPushButton>("1008"), Qt::LeftButton);
  EXPECT_TRUE(Output().empty());

  test::RunningAdapter wifi = McAdapter(true);
  QTest::mouseClick(Control<QRadioButton>("1002"), Qt::LeftButton);
  dialog_->wifiPage()->address()->setText(QStringLiteral("127.0.0.1"));
  dialog_->wifiPage()->port()->setText(QString::fromStdString(wifi.Port()));
  QTest::mouseClick(Control<QPushButton>("1009"), Qt::LeftButton);
  EXPECT_FALSE(dialog_->wifiPage()->address()->isEnabled());
  ASSERT_TRUE(WaitIdle());
  EXPECT_THAT(Output(), kReadOutput);
  EXPECT_TRUE(dialog_->wifiPage()->address()->isEnabled());
}

TEST_F(DialogTest, UpdateOverASerialPortFinishesAndLeavesTheAdapterWithTheFile) {
  test::RunningAdapter adapter = McAdapter();
  const sim::BuiltImage image = test::NewerImage(1);
  Open({adapter.Device()});
  QTest::mouseClick(Control<QRadioButton>("1000"), Qt::LeftButton);
  QTest::mouseClick(Control<QPushButton>("1006"), Qt::LeftButton);  // no path: nothing at all
  EXPECT_TRUE(Control<QPushButton>("1006")->isEnabled());
  EXPECT_TRUE(Output().empty());
  QTest::keyClicks(Control<QLineEdit>("1004"), QString::fromStdString(TempFile(image.text)));
  QTest::mouseClick(Control<QPushButton>("1006"), Qt::LeftButton);
  EXPECT_FALSE(Control<QPushButton>("1009")->isEnabled());
  ASSERT_TRUE(WaitIdle());
  EXPECT_THAT(Output(), ::testing::HasSubstr(" ...\nPort is opened!\n"));
  EXPECT_THAT(Output(), ::testing::HasSubstr("Device connection ok!\n"));
  EXPECT_THAT(Output(), ::testing::EndsWith("File download finished!\n"));
  EXPECT_EQ(Progress(), 100);
  EXPECT_EQ(Control<QProgressBar>("1013")->property("outcome").toString(), "succeeded");
  EXPECT_TRUE(sim::RecordsMatchImage(adapter->Records(), image, false));
  ExpectCommandControlsEnabled();
}

// A device path with non-ASCII characters reaches the connection byte for byte, and the
// window's own list reads it back unchanged. The failure does not look like a success.
TEST_F(DialogTest, NonAsciiDevicePathsSurviveTheListAndAFailureShowsAsOne) {
  const std::string path = ::testing::TempDir() + "p\xC3\xB6rt-\xE2\x82\xAC";
  Open({path});
  EXPECT_EQ(dialog_->NameAt(SerialPageId::kUsb, 0), path);
  QTest::mouseClick(Control<QRadioButton>("1001"), Qt::LeftButton);
  QTest::mouseClick(Control<QPushButton>("1009"), Qt::LeftButton);
  ASSERT_TRUE(WaitIdle());
  EXPECT_THAT(Output(), ::testing::StartsWith("Connecting to " + path + ":115200 ...\n"));
  EXPECT_THAT(Output(), ::testing::HasSubstr("\n" + path + ": no such device. "));
  EXPECT_EQ(Control<QProgressBar>("1013")->property("outcome").toString(), "failed");
}

// The close question names the running command and goes away when the command ends.
TEST_F(DialogTest, CloseQuestionNamesTheCommandAndGoesAwayWhenItEnds) {
  sim::SimulatorOptions options;
  options.link.silent = true;
  test::RunningAdapter silent(options);
  Open({silent.Device()});
  QTest::mouseClick(Control<QRadioButton>("1000"), Qt::LeftButton);
  QTest::mouseClick(Control<QPushButton>("1009"), Qt::LeftButton);
  ASSERT_TRUE(dialog_->controller().IsRunning());
  QString question;
  QTimer::singleShot(100, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
      question = box->text();
  });
  EXPECT_FALSE(dialog_->close());  // answered by the command's end, not by the user
  EXPECT_TRUE(question.contains(QStringLiteral("(Read) is running"))) << question.toStdString();
  EXPECT_FALSE(dialog_->controller().IsRunning());
  EXPECT_TRUE(dialog_->isVisible());
}

TEST_F(DialogTest, ReportsQueuedForADestroyedWindowAreDropped) {
  test::RunningAdapter adapter = McAdapter();
  Open({adapter.Device()});
  QTest::mouseClick(Control<QRadioButton>("1001"), Qt::LeftButton);
  QTest::mouseClick(Control<QPushButton>("1009"), Qt::LeftButton);
  dialog_.reset();  // waits for the worker; its queued reports must go nowhere
  QApplication::processEvents();
}

}  // namespace
}  // namespace zorbent::ui
