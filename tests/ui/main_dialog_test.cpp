// The main window through its Qt view, against a simulated adapter: what is enabled when, what
// the output box and the bar show, what closing does.
#include "ui/qt/main_dialog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include <QAbstractItemView>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include "firmware/history.h"
#include "platform/thread.h"
#include "tests/support/sim_adapter.h"
#include "tests/support/test_repository.h"
#include "tests/support/thread_starts.h"
#include "ui/qt/about_dialog.h"
#include "zorbent_version.h"

namespace zorbent::ui {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// The real window, but the process never ends and the test may answer the questions itself.
class TestDialog : public MainDialog {
 public:
  using MainDialog::MainDialog;
  bool ConfirmCloseWhileRunning() override {
    ++questions;
    return answer ? *answer : MainDialog::ConfirmCloseWhileRunning();
  }
  void DismissCloseQuestion() override {
    ++dismissals;
    MainDialog::DismissCloseQuestion();
  }
  bool AskUsersWord(const std::string& question) override {
    asked.push_back(question);
    return word ? *word : MainDialog::AskUsersWord(question);
  }
  std::optional<std::string> ChooseFirmwareFile() override { return chosenFile; }
  void EndProcessNow() override { processEnded = true; }

  std::optional<bool> answer;  // none: the real question
  std::optional<bool> word;    // ... the same for the user's word after a refusal
  std::vector<std::string> asked;
  int questions = 0;
  int dismissals = 0;
  std::optional<std::string> chosenFile;
  bool processEnded = false;
};

class DialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "ui_main_dialog_test";
    static char* argv[] = {name, nullptr};
    if (QApplication::instance() == nullptr) app_ = new QApplication(argc, argv);
    static const testing::TempFolder data;  // the window's history: never the user's
    qputenv("ZORBENT_FW_DATA_DIR", QByteArray::fromStdString(data.Path()));
  }

  void Open(std::vector<std::string> ports = {"ttyUSB0", "ttyUSB1"}) {
    ProcessStopSignal().Clear();
    ports_ = std::move(ports);
    dialog_ = std::make_unique<TestDialog>(engine_, [this] { return PlainChoices(ports_); });
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
  }
  template <typename T>
  T* Control(const char* id) const {
    T* widget = dialog_->findChild<T*>(QString::fromLatin1(id), Qt::FindDirectChildrenOnly);
    EXPECT_NE(widget, nullptr) << id;
    return widget;
  }
  void Click(const char* id) { QTest::mouseClick(Control<QAbstractButton>(id), Qt::LeftButton); }
  std::vector<QWidget*> Pages() const {
    return {dialog_->btPage(), dialog_->usbPage(), dialog_->wifiPage()};
  }
  SerialPage* Page(SerialPageId page) const {
    return page == SerialPageId::kBt ? dialog_->btPage() : dialog_->usbPage();
  }
  // Adds a device to the list and picks it on the page.
  void Pick(const std::string& device, SerialPageId page = SerialPageId::kUsb) {
    ports_.push_back(device);
    QTest::mouseClick(Page(page)->refresh(), Qt::LeftButton);
    Page(page)->names()->setCurrentIndex(static_cast<int>(ports_.size()) - 1);
    Click(page == SerialPageId::kBt ? "1000" : "1001");
  }
  std::string Output() const {
    return Control<QPlainTextEdit>("1007")->toPlainText().toStdString();
  }
  int Progress() const { return Control<QProgressBar>("1013")->value(); }
  bool Busy() const { return Control<QProgressBar>("1013")->maximum() == 0; }
  std::string Status() const { return Control<QLabel>("1014")->text().toStdString(); }
  // ZORBENT_SCREENSHOTS=DIR keeps the window as it is now, as DIR/qt-NAME.png (docs/ has them).
  void Shot(const char* name) const {
    if (const QString dir = qEnvironmentVariable("ZORBENT_SCREENSHOTS"); !dir.isEmpty()) {
      EXPECT_TRUE(dialog_->grab().save(dir + "/qt-" + name + ".png", "PNG"));
    }
  }
  std::string Outcome() const {
    return Control<QProgressBar>("1013")->property("outcome").toString().toStdString();
  }
  // Every control that a command disables; Clear and the output box are not among them.
  void ExpectCommandControlsEnabled(bool enabled) const {
    for (const char* id : {"1000", "1001", "1002", "1004", "1005", "1006", "1009", "1015"})
      EXPECT_EQ(Control<QWidget>(id)->isEnabled(), enabled) << id;
    for (const QWidget* page : Pages())
      for (const QWidget* w : page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(w->objectName().isEmpty() || w->isEnabled() == enabled);  // labels: no id
    EXPECT_TRUE(Control<QPushButton>("1008")->isEnabled());
    EXPECT_TRUE(Control<QPlainTextEdit>("1007")->isEnabled());
  }
  bool WaitIdle() {
    return QTest::qWaitFor([this] { return !dialog_->controller().IsRunning(); }, 20000);
  }

  static inline QApplication* app_ = nullptr;
  UpdateEngine engine_;
  std::vector<std::string> ports_;
  std::unique_ptr<TestDialog> dialog_;
};

TEST_F(DialogTest, StartsAsItsTemplateWithFilledPagesAndNoPageShown) {
  Open();
  EXPECT_EQ(dialog_->windowTitle(), QStringLiteral("zOrbentFwUpdater v3.5"));
  EXPECT_EQ(dialog_->minimumSize(), dialog_->maximumSize());  // fixed size
  EXPECT_FALSE(dialog_->windowIcon().isNull());
  for (const auto& [id, text] : {std::pair{"1005", "Browse..."},
                                 {"1015", "Latest..."},
                                 {"1006", "Update"},
                                 {"1008", "Clear"},
                                 {"1009", "Read"}})
    EXPECT_EQ(Control<QPushButton>(id)->text(), QString::fromLatin1(text));
  EXPECT_TRUE(Control<QPushButton>("1006")->isDefault());
  EXPECT_TRUE(Control<QPushButton>("1006")->hasFocus());
  EXPECT_EQ(Control<QGroupBox>("1003")->title(), QStringLiteral("Comm Port"));
  for (const char* id : {"1000", "1001", "1002"})
    EXPECT_FALSE(Control<QRadioButton>(id)->isChecked());
  for (const QWidget* page : Pages()) {
    EXPECT_FALSE(page->isVisible());
    EXPECT_EQ(page->geometry(), Control<QGroupBox>("1003")->geometry());
  }
  EXPECT_EQ(LinkRates().size(), 13u);
  EXPECT_EQ(LinkRates().front() + " " + LinkRates().back(), "9600 8000000");
  for (const auto id : {SerialPageId::kBt, SerialPageId::kUsb}) {
    const SerialPage* page = Page(id);
    ASSERT_EQ(page->names()->count(), 2);
    EXPECT_EQ(page->names()->currentText(), QStringLiteral("ttyUSB0"));
    EXPECT_EQ(dialog_->NameAt(id, 1), "ttyUSB1");
    ASSERT_EQ(page->rates()->count(), 13);
    for (int i = 0; i < 13; ++i) EXPECT_EQ(dialog_->RateAt(id, i), LinkRates()[i]);
    EXPECT_EQ(page->rates()->currentText(), QStringLiteral("115200"));
  }

  Click("1002");
  EXPECT_TRUE(dialog_->wifiPage()->isVisible());
  EXPECT_EQ(dialog_->wifiPage()->address()->text(), QStringLiteral("192.168.0.10"));
  EXPECT_EQ(dialog_->wifiPage()->port()->text(), QStringLiteral("35000"));
  dialog_->wifiPage()->port()->setText(QStringLiteral("35001"));
  Click("1000");
  EXPECT_TRUE(dialog_->btPage()->isVisible());
  EXPECT_FALSE(dialog_->wifiPage()->isVisible());
  Click("1001");
  EXPECT_TRUE(dialog_->usbPage()->isVisible());
  EXPECT_FALSE(dialog_->btPage()->isVisible());
  EXPECT_EQ(dialog_->wifiPage()->port()->text(), QStringLiteral("35001"));
  // The page's rows stay inside the frame, clear of its title.
  auto* box = Control<QGroupBox>("1003");
  QWidget* name = dialog_->usbPage()->names();
  const int rowTop = name->mapTo(dialog_.get(), QPoint(0, 0)).y();
  EXPECT_GT(rowTop, box->geometry().top() + box->fontMetrics().height()) << "row crosses the frame";
  QWidget* refresh = dialog_->usbPage()->refresh();
  EXPECT_LE(refresh->mapTo(dialog_.get(), QPoint(0, refresh->height())).y(),
            box->geometry().bottom());

  // The output box wraps, and Tab leaves it; the focus goes round in the template's order.
  auto* output = Control<QPlainTextEdit>("1007");
  EXPECT_EQ(output->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  EXPECT_TRUE(output->tabChangesFocus());
  std::vector<std::string> order;
  QWidget* w = Control<QRadioButton>("1000");
  for (int i = 0; i < 40 && w != nullptr; ++i, w = w->nextInFocusChain()) {
    if (w->parentWidget() == dialog_.get() && !w->objectName().isEmpty() &&
        w->focusPolicy() != Qt::NoFocus) {
      if (!order.empty() && w->objectName() == QString::fromStdString(order.front())) break;
      order.push_back(w->objectName().toStdString());
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"1000", "1001", "1002", "1004", "1015", "1005", "1006",
                                             "1007", "1008", "1009"}));

  // Browse replaces the path only when a file is chosen.
  Control<QLineEdit>("1004")->setText(QStringLiteral("typed"));
  Click("1005");
  EXPECT_EQ(Control<QLineEdit>("1004")->text(), QStringLiteral("typed"));
  dialog_->chosenFile = "/tmp/fw.bin";
  Click("1005");
  EXPECT_EQ(Control<QLineEdit>("1004")->text(), QStringLiteral("/tmp/fw.bin"));
}

// Clicks that must do nothing at all: no message, no progress reset, no command.
// A click short of something says what is missing and focuses that control; nothing starts.
TEST_F(DialogTest, ClicksWithoutEnoughInputSayWhatIsMissingAndOverLongFieldsAreRefused) {
  Open({});
  for (const auto id : {SerialPageId::kBt, SerialPageId::kUsb}) {
    EXPECT_EQ(Page(id)->names()->currentIndex(), -1);  // no port, but the rate is still chosen
    EXPECT_EQ(Page(id)->rates()->currentIndex(), 4);
  }
  engine_.ReportProgress(50);
  const std::string noPort =
      "Choose the adapter's port in the Name list (plug it in and press Refresh if it is not "
      "there).";
  struct Case {
    const char* type;  // clicked first, if any
    const char* button;
    std::function<void()> set;
    std::string said;
    QWidget* focus;
  };
  const std::vector<Case> cases = {
      {nullptr,
       "1006",
       {},
       "Choose how the adapter is connected: BT, USB or WIFI.",
       Control<QWidget>("1000")},
      {nullptr,
       "1009",
       {},
       "Choose how the adapter is connected: BT, USB or WIFI.",
       Control<QWidget>("1000")},
      {"1000", "1009", {}, noPort, Page(SerialPageId::kBt)->names()},
      {"1001", "1006", {}, noPort, Page(SerialPageId::kUsb)->names()},
      {"1002",
       "1006",
       {},
       "Choose the firmware file: press Browse... or type its path.",
       Control<QWidget>("1004")},
      {"1002", "1009", [this] { dialog_->wifiPage()->address()->clear(); },
       "Enter the adapter's IP address.", dialog_->wifiPage()->address()},
      {"1002", "1006",
       [this] {
         dialog_->wifiPage()->address()->setText(QStringLiteral("127.0.0.1"));
         dialog_->wifiPage()->port()->clear();
       },
       "Enter the adapter's IP port.", dialog_->wifiPage()->port()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.said);
    if (c.type != nullptr) Click(c.type);
    if (c.set) c.set();
    Click("1006");  // moves the focus away
    Click("1008");
    Click(c.button);
    QApplication::processEvents();
    EXPECT_EQ(Output(), c.said + "\n");
    EXPECT_TRUE(c.focus->hasFocus());
    EXPECT_FALSE(dialog_->controller().IsRunning());
  }
  EXPECT_EQ(Progress(), 50);

  Click("1008");
  dialog_->wifiPage()->port()->setText(QStringLiteral("35000"));
  dialog_->wifiPage()->address()->setText(QString(256, u'1'));
  Click("1009");
  QApplication::processEvents();
  EXPECT_EQ(Output(), "**Failed** IP address is too long (at most 255 characters)!\n");
  EXPECT_EQ(Progress(), 50);
  EXPECT_FALSE(dialog_->controller().IsRunning());
  ExpectCommandControlsEnabled(true);
}

// A chosen file is checked at once; a bad one is refused by Update before any port opens.
TEST_F(DialogTest, FilesAreCheckedWhenChosenAndBeforeUpdateOpensAPort) {
  test::RunningAdapter adapter(test::AdapterModel(1));
  Open();
  Pick(adapter.Device());
  std::string bad = test::NewerImage(1).text;
  const std::size_t second = bad.find('\n') + 1;
  bad[second + 5] = bad[second + 5] == '0' ? '1' : '0';
  const testing::FirmwareFile good(test::NewerImage(1, 10).text);
  sim::LineImageOptions oddLines;  // the test images keep the count even
  oddLines.deviceName = testing::LineDeviceName(1);
  oddLines.versionText = "V2.2.3X";
  oddLines.records = 10;
  const testing::FirmwareFile odd(sim::BuildLineImage(oddLines).text);
  const testing::FirmwareFile wrong(bad);
  const testing::FirmwareFile other(sim::BuildLineImage({.deviceName = "KTR9999"}).text);
  struct Case {
    const testing::FirmwareFile& file;
    std::string said;
  };
  for (const Case& c : std::vector<Case>{
           {good, "firmware.txt: firmware v2.2.3X for KTR5575 (line mode), 12 lines\n"},
           {odd,
            "firmware.txt: firmware v2.2.3X for KTR5575 (line mode), 11 lines\nNote: the file "
            "has an odd number of lines, so its last data line has no partner: Update does "
            "not send it and ends the download with the end record.\n"},
           {other, other.Path() + " is for device \"KTR9999\", which is none of the adapter "
                                  "models this program updates; files carry one of: "},
           {wrong, wrong.Path() + " is not a valid firmware file: line 2: "}}) {
    SCOPED_TRACE(c.said);
    Click("1008");
    dialog_->chosenFile = c.file.Path();
    Click("1005");
    EXPECT_THAT(Output(), StartsWith(c.said));
    EXPECT_EQ(Control<QLineEdit>("1004")->text().toStdString(), c.file.Path());
  }
  EXPECT_TRUE(Control<QWidget>("1004")->hasFocus());
  Click("1008");
  Click("1006");
  EXPECT_THAT(Output(), StartsWith(wrong.Path() + " is not a valid firmware file: line 2: "));
  EXPECT_FALSE(dialog_->controller().IsRunning());
  EXPECT_TRUE(Control<QWidget>("1004")->hasFocus());
  EXPECT_EQ(adapter->CommandCount(), 0);  // the port was never opened
  Shot("refused-file");
}

TEST_F(DialogTest, ClearReportsWhileHiddenLineEndsAndTheProgressRange) {
  Open();
  dialog_->controller().WriteOutput("abc\r", true);
  Click("1008");
  EXPECT_EQ(Output(), "");
  dialog_->controller().WriteOutput("\nxyz\r\n", true);
  EXPECT_EQ(Output(), "\nxyz\n");  // the held "\r" went with the cleared text

  dialog_->hide();
  engine_.ReportText("lost\r\n");
  engine_.ReportProgress(50);
  QApplication::processEvents();
  EXPECT_EQ(Output(), "\nxyz\n");
  EXPECT_EQ(Progress(), 0);
  dialog_->show();
  for (const auto& [percent, shown] :
       std::vector<std::pair<int, int>>{{250, 100}, {-3, 0}, {100, 100}, {0, 0}}) {
    engine_.ReportProgress(percent);
    EXPECT_EQ(Progress(), shown) << percent;  // never outside 0..100
  }
  // Line ends fold across reports: a lone "\r" ends a line, one that ends a report waits.
  for (const char* text : {"ELM327\rv1.5\r", "\r", "\nx\n\n", ""})
    dialog_->controller().WriteOutput(text, true);
  EXPECT_EQ(Output(), "\nxyz\nELM327\nv1.5\n\nx\n\n");
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

  // Escape in the window itself closes it while idle, unasked, and raises the stop request.
  QTest::keyClick(dialog_.get(), Qt::Key_Escape);
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(dialog_->result(), QDialog::Rejected);
  EXPECT_EQ(ProcessStopSignal().Level(), StopLevel::kNow);
  EXPECT_EQ(dialog_->questions, 0);
  EXPECT_FALSE(dialog_->processEnded);
}

// The road through the window: a Read on the USB page, then an Update on the BT page.
// Each command disposes of the worker before it; the output accumulates until cleared. A
// Read still running when the window goes leaves its queued reports nowhere.
TEST_F(DialogTest, ReadAndUpdateRunOnTheWorkerAndReportInOrder) {
  test::RunningAdapter adapter(test::AdapterModel(1));
  Open();
  Pick(adapter.Device());
  Click("1009");  // Read does not need a path
  EXPECT_TRUE(dialog_->controller().IsRunning());
  ExpectCommandControlsEnabled(false);
  ASSERT_TRUE(WaitIdle());
  const std::string connecting = "Connecting to " + adapter.Device() + ":115200 ...\n";
  const std::string read = connecting +
                           "Port is opened!\ndevice version:KTR5575 V2.2\n"
                           "Adapter version:zOrbent MC v2.2.2X\nRead: KTR5575 v2.2.2X\n";
  EXPECT_EQ(Output(), read);
  ExpectCommandControlsEnabled(true);
  EXPECT_EQ(Outcome(), "succeeded");

  Pick(adapter.Device(), SerialPageId::kBt);
  testing::FirmwareFile file(test::NewerImage(1).text);
  QTest::keyClicks(Control<QLineEdit>("1004"), QString::fromStdString(file.Path()));
  Click("1006");
  ASSERT_TRUE(WaitIdle());
  EXPECT_THAT(Output(), StartsWith(read + connecting + "Port is opened!\n"));
  EXPECT_THAT(Output(), HasSubstr("Device connection ok!\n"));
  EXPECT_THAT(Output(), HasSubstr("File download finished!\nUpdate succeeded: KTR5575 (zOrbent MC) "
                                  "v2.2.2X -> v2.2.3X in "));
  EXPECT_THAT(Output(), EndsWith(" s\n"));
  EXPECT_EQ(Progress(), 100);
  EXPECT_FALSE(Busy());
  EXPECT_EQ(Status(), "Sending the firmware: 100%");
  EXPECT_EQ(Outcome(), "succeeded");
  EXPECT_EQ(dialog_->dismissals, 2);
  Shot("success");
  // Recorded as the command line records it, with the hash of the bytes sent.
  HistoryContents history;
  std::string error;
  ASSERT_TRUE(ReadHistory(HistoryPath(error), history, error)) << error;
  ASSERT_FALSE(history.entries.empty());
  EXPECT_EQ(history.entries.back()["command"], "update");
  EXPECT_EQ(history.entries.back()["outcome"]["state"], "updated_confirmed");
  const std::string sent = test::NewerImage(1).text;
  EXPECT_EQ(history.entries.back()["file_sha256"],
            Sha256Hex({reinterpret_cast<const std::uint8_t*>(sent.data()), sent.size()}));

  Click("1009");
  dialog_.reset();  // waits for the worker; its queued reports must go nowhere
  QApplication::processEvents();
}

// A device path with non-ASCII characters reaches the connection byte for byte, and the
// window's own list reads it back unchanged. The failure does not look like a success.
TEST_F(DialogTest, FailedOpenShowsTheEngineMessageAndAFailure) {
  const std::string path = ::testing::TempDir() + "p\xC3\xB6rt-\xE2\x82\xAC";
  Open({path});
  EXPECT_EQ(dialog_->NameAt(SerialPageId::kUsb, 0), path);
  Click("1001");
  Click("1009");
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Output(), "Connecting to " + path + ":115200 ...\n" +
                          "**Failed** Port connection error!\n" + path + ": no such device.\n" +
                          "Plug in the adapter (pair a Bluetooth adapter with this computer "
                          "first), press Refresh and choose it in the Name list.\nRead failed: "
                          "the adapter could not be reached. Nothing was sent to it.\n");
  EXPECT_EQ(Outcome(), "failed");
  ExpectCommandControlsEnabled(true);
  // No thread for the worker: the command fails at once and the window takes commands again.
  FailThreadStartForTesting(1);
  Click("1009");
  EXPECT_FALSE(dialog_->controller().IsRunning());
  EXPECT_THAT(Output(), HasSubstr("**Failed** could not start: the system refused a new thread."));
  EXPECT_THAT(Output(),
              EndsWith("\nRead failed: could not start. Nothing was sent to the adapter.\n"));
  EXPECT_EQ(Outcome(), "failed");
  ExpectCommandControlsEnabled(true);
}

// A command waits on a silent adapter off the window's thread; commands asked for meanwhile
// start nothing. Closing ends the process only when confirmed and never stops the transfer;
// the question names the command and goes away when the command ends.
TEST_F(DialogTest, ClosingDuringACommandAsksAndEndsTheProcessOnlyWhenConfirmed) {
  sim::SimulatorOptions options;
  options.link.silent = true;
  test::RunningAdapter silent(options);
  Open({silent.Device()});
  Click("1000");
  Click("1009");  // returns while the adapter keeps silent
  ASSERT_TRUE(dialog_->controller().IsRunning());
  // Nothing looks frozen: the bar is busy, the line under it says what for and how long at most.
  EXPECT_TRUE(QTest::qWaitFor([this] {
    return Status().starts_with("Waiting for the adapter's ");
  })) << Status();
  EXPECT_THAT(Status(), EndsWith(" (2 s) ..."));
  EXPECT_TRUE(Busy());
  Shot("waiting");
  testing::FirmwareFile file("Z");
  Control<QLineEdit>("1004")->setText(QString::fromStdString(file.Path()));
  dialog_->controller().OnUpdate();
  dialog_->controller().OnRead();
  dialog_->answer = false;
  EXPECT_FALSE(dialog_->close());
  EXPECT_FALSE(dialog_->processEnded);
  dialog_->answer = true;
  EXPECT_FALSE(dialog_->close());
  EXPECT_TRUE(dialog_->processEnded);
  EXPECT_EQ(dialog_->controller().ExitStatus(), kExitFailed);  // the command did not end
  EXPECT_TRUE(dialog_->isVisible());
  EXPECT_EQ(ProcessStopSignal().Level(), StopLevel::kNone);

  dialog_->answer.reset();
  QString question;
  QTimer::singleShot(100, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    question = box->text();
    // Bounded: a question the command's end leaves open fails the test, not the time-out.
    QTimer::singleShot(20000, box, [box] { box->done(QMessageBox::No); });
  });
  EXPECT_FALSE(dialog_->close());  // answered by the command's end, not by the user
  EXPECT_TRUE(question.contains(QStringLiteral("(Read) is running"))) << question.toStdString();
  EXPECT_FALSE(dialog_->controller().IsRunning());
  EXPECT_TRUE(dialog_->isVisible());
  EXPECT_EQ(dialog_->questions, 3);
  EXPECT_EQ(dialog_->dismissals, 1);
  EXPECT_EQ(Output().find("Connecting to ", 1), std::string::npos);  // no queued command
}

// An Update that needs the user's word asks for it, No by default: an older file before
// anything changes the adapter, an adapter in download mode after the refusal, where Yes runs
// the same Update again with the word given for that run alone. A version read back that is
// not the file's is no success, and nothing to ask about.
TEST_F(DialogTest, RefusedUpdateAsksForTheUsersWordAndOnlyYesSendsTheDownload) {
  const std::string recover =
      "The adapter did not identify itself (it answered \"zOrbent boot loader\" to ATI). If it is "
      "a KTR5577 left in download mode by an interrupted update, this file can finish that "
      "update, without model and version checks. Finish the interrupted update?";
  const std::string older =
      "The file holds v2.2.3X, older than the adapter's firmware v2.2.40. Install the older "
      "firmware anyway?";
  const struct {
    char adapter;  // 'd' in download mode, 'o' newer than the file, 's' the file's version,
                   // 'u' unconfirmed
    std::optional<bool> yes;  // none: the real box, closed with Escape
    std::string question;     // empty: none asked
    std::string verdict;      // in the output's last line
  } cases[] = {{'d', std::nullopt, recover,
                "KTR5577 left in download mode by an interrupted "
                "update, press Update again; answer Yes when asked"},
               {'d', true, recover, "Update succeeded: KTR5577 (was in download mode) -> "},
               {'o', false, older, "To install the older file anyway, press Update again"},
               {'o', true, older, "Update succeeded: KTR5577 (zOrbent BM) v2.2.40 -> v2.2.3X"},
               {'s', true, "", "Update succeeded: KTR5577 (zOrbent BM) v2.2.3X -> v2.2.3X"},
               {'u', false, "", "Update not confirmed: the adapter reports v2.1.9 (file v"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(1, c.adapter) + (c.yes.value_or(false) ? " yes" : " no"));
    const int model = c.adapter == 'u' ? 5 : 2;
    sim::SimulatorOptions options = test::AdapterModel(model);
    options.adapter.startInDownloadMode = c.adapter == 'd';
    if (c.adapter == 'o') options.adapter.deviceVersion = "2.2.40";
    if (c.adapter == 's') options.adapter.deviceVersion = "2.2.3X";
    if (c.adapter == 'u') options.adapter.flashedVersion = "2.1.9";
    test::RunningAdapter adapter(options);
    Open({adapter.Device()});
    Click("1001");
    testing::FirmwareFile file(test::NewerImage(model).text);
    Control<QLineEdit>("1004")->setText(QString::fromStdString(file.Path()));
    dialog_->word = c.yes;
    bool noIsDefault = false;
    QTimer box;  // answers the real box, which opens once the worker has ended
    QObject::connect(&box, &QTimer::timeout, [&] {
      auto* open = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (open == nullptr) return;
      box.stop();
      noIsDefault = open->defaultButton() == open->button(QMessageBox::No) &&
                    open->text() == QString::fromStdString(c.question);
      QTest::keyClick(open, Qt::Key_Escape);
    });
    if (!c.yes) box.start(20);
    Click("1006");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(dialog_->asked, c.question.empty() ? std::vector<std::string>{}
                                                 : std::vector<std::string>{c.question});
    EXPECT_TRUE(c.yes || noIsDefault);
    const bool yes = c.yes.value_or(false);
    const bool downloaded = yes || c.adapter == 'u';
    // A reinstall asks nothing and says so.
    EXPECT_EQ(Output().find("this file installs the same version again") != std::string::npos,
              c.adapter == 's');
    const sim::AdapterSimulator& simulator = *adapter.operator->();
    EXPECT_EQ(testing::FirstOf(simulator, testing::kDownloadCommands) >= 0, downloaded);
    EXPECT_EQ(Output().find("File download finished!\n") != std::string::npos, downloaded)
        << Output();
    EXPECT_EQ(Outcome(), yes ? "succeeded" : c.adapter == 'u' ? "not confirmed" : "failed");
    const std::string out = Output();
    EXPECT_THAT(out.substr(out.rfind('\n', out.size() - 2)), HasSubstr(c.verdict));
    if (!downloaded) {
      EXPECT_EQ(Status(), "");  // no download, so none stopped
    }
    const bool rerun = yes && c.adapter == 'd';
    EXPECT_EQ(Output().find("Connecting to ", 1) != std::string::npos, rerun);
    EXPECT_FALSE(engine_.recover || engine_.allowOlder);
  }
}

// An update that breaks off mid-transfer ends with the window's verdict behind the engine's
// lines, and the bar looks failed until the next command starts.
TEST_F(DialogTest, FailedUpdateEndsWithTheVerdictAndTheFailureLook) {
  sim::SimulatorOptions options = test::AdapterModel(2);
  options.faults.disconnectAtRecord = 3;
  test::RunningAdapter adapter(options);
  Open({adapter.Device()});
  Click("1001");
  testing::FirmwareFile file(test::NewerImage(2).text);
  Control<QLineEdit>("1004")->setText(QString::fromStdString(file.Path()));
  Click("1006");
  ASSERT_TRUE(WaitIdle());
  EXPECT_THAT(
      Output(),
      EndsWith("Device connection ok!\n**Failed** The adapter's port went away: unplugged?\n"
               "**Failed** Request stop download fail,Upgrade again after power on!\n"
               "Update failed: the adapter's device went away (unplugged?). The adapter "
               "is in download mode: it has no working firmware until an update "
               "finishes. To finish the update: power the adapter off and on, then press "
               "Update again; answer Yes when asked to finish the interrupted update.\n"));
  EXPECT_EQ(Outcome(), "failed");
  EXPECT_THAT(Status(), StartsWith("The download stopped at "));
  Shot("failure");
}

// Latest: after a Read, the newest build for that adapter from the trusted repository is offered
// with its notes, No by default; Yes fetches and checks it into the Path field, and Update
// installs it. A file that does not match its listing is refused and nothing is filled in.
TEST_F(DialogTest, LatestOffersTheNewestSignedBuildForTheAdapterReadFound) {
  test::ConfiguredRepository dir;
  dir->Add("KTR5575.txt", test::NewerImage(1).text);
  dir->Publish();
  test::RunningAdapter adapter(test::AdapterModel(1));
  Open();
  Pick(adapter.Device());
  Click("1015");
  EXPECT_EQ(Output(),
            "Press Read first: Latest offers the newest firmware for the adapter Read "
            "finds.\n");
  EXPECT_TRUE(Control<QWidget>("1009")->hasFocus());
  Click("1009");
  ASSERT_TRUE(WaitIdle());
  for (const bool yes : {false, true}) {
    Click("1008");
    dialog_->word = yes;
    Click("1015");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(dialog_->asked.back(),
              "The newest firmware for KTR5575 is v2.2.3X; the adapter runs v2.2.2X.\n\nDownload "
              "it and put it in the Path field?\n\nRelease notes:\nFaster reads.");
    EXPECT_THAT(Output(), HasSubstr(yes ? "Latest: v2.2.3X for KTR5575 was fetched and matches its "
                                          "listing in the repository: press Update to install "
                                          "it.\n"
                                        : "Latest: v2.2.3X for KTR5575 was not fetched.\n"))
        << Output();
  }
  EXPECT_THAT(Control<QLineEdit>("1004")->text().toStdString(), StartsWith(dir.Path() + "/cache/"));
  EXPECT_EQ(Outcome(), "succeeded");
  Shot("latest");
  Click("1006");
  ASSERT_TRUE(WaitIdle());
  EXPECT_THAT(Output(), HasSubstr("Update succeeded: KTR5575 (zOrbent MC) v2.2.2X -> v2.2.3X"));

  // Up to date now; then a newer build whose file was changed after publishing fetches nothing.
  Click("1008");
  Click("1015");
  ASSERT_TRUE(WaitIdle());
  EXPECT_THAT(Output(), HasSubstr("Latest: KTR5575 already runs v2.2.3X, the newest firmware the "
                                  "repository has for it.\n"));
  sim::LineImageOptions next;
  next.deviceName = testing::LineDeviceName(1);
  next.versionText = "V2.2.4X";
  const std::string nextText = sim::BuildLineImage(next).text;
  dir->Add("KTR5575-next.txt", nextText);
  dir->Publish();
  dir->Write(
      "targets/KTR5575/" +
          Sha256Hex({reinterpret_cast<const std::uint8_t*>(nextText.data()), nextText.size()}) +
          ".KTR5575-next.txt",
      test::NewerImage(1).text);
  Click("1008");
  Control<QLineEdit>("1004")->clear();
  Click("1015");
  ASSERT_TRUE(WaitIdle());
  EXPECT_THAT(Output(), EndsWith("Latest failed: nothing was fetched.\n"));
  EXPECT_EQ(Outcome(), "failed");
  EXPECT_TRUE(Control<QLineEdit>("1004")->text().isEmpty());
}

// Refresh follows the position, not the name, and leaves the rate and the other page alone.
TEST_F(DialogTest, RefreshKeepsTheSelectedPositionWhileInRange) {
  const struct {
    std::vector<std::string> before, after;
    int selected, expected;  // the position before and after the refresh
  } cases[] = {{{"ttyUSB0", "ttyUSB1"}, {"ttyUSB0", "ttyUSB1"}, 1, 1},
               {{"ttyUSB0", "ttyUSB1"}, {"ttyUSB1"}, 1, 0},
               {{"ttyUSB1"}, {"ttyUSB0", "ttyUSB1"}, 0, 0},
               {{"ttyUSB0"}, {"ttyUSB0", "ttyACM0"}, -1, 0},
               {{"ttyUSB0"}, {}, 0, -1},
               {{}, {"rfcomm0"}, -1, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    Open(c.before);
    SerialPage* bt = dialog_->btPage();
    bt->names()->setCurrentIndex(c.selected);
    bt->rates()->setCurrentIndex(7);
    const int usbSelected = dialog_->usbPage()->names()->currentIndex();
    ports_ = c.after;
    QTest::mouseClick(bt->refresh(), Qt::LeftButton);
    ASSERT_EQ(bt->names()->count(), static_cast<int>(c.after.size()));
    for (std::size_t i = 0; i < c.after.size(); ++i)
      EXPECT_EQ(dialog_->NameAt(SerialPageId::kBt, static_cast<int>(i)), c.after[i]);
    EXPECT_EQ(bt->names()->currentIndex(), c.expected);
    EXPECT_EQ(bt->rates()->currentIndex(), 7);
    EXPECT_EQ(dialog_->usbPage()->names()->count(), static_cast<int>(c.before.size()));
    EXPECT_EQ(dialog_->usbPage()->names()->currentIndex(), usbSelected);
  }
}

TEST_F(DialogTest, OpenedPortListShowsEachDescriptionWholeWhileTheBoxKeepsItsSize) {
  const std::string shortName = "ttyS0";
  const std::string longName = "/dev/ttyUSB0 (FTDI FT232R USB UART, serial A50285BI, USB 1-1.4)";
  for (const std::string& name : {shortName, longName}) {
    SCOPED_TRACE(name);
    Open({"ttyUSB1", name});
    Click("1001");  // the USB page
    QComboBox* names = Page(SerialPageId::kUsb)->names();
    names->setCurrentIndex(0);
    const QSize closed = names->size();
    names->showPopup();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(names->view()->window()));
    const int text = names->view()->fontMetrics().horizontalAdvance(QString::fromStdString(name));
    EXPECT_GT(names->view()->viewport()->width(), text) << text;
    EXPECT_GE(names->view()->window()->width(), closed.width());
    names->hidePopup();
    EXPECT_EQ(names->size(), closed);
  }
}

// A field or a whole string over 255 characters is refused with its name, never cut.
TEST(ConfigString, BuildsOrRefuses) {
  const std::string k249(249, 'a'), k255(255, '1'), k256(256, '1');
  const struct {
    bool serial;
    std::string first, second, text;  // the string, or the start of the refusal
  } cases[] = {{true, "/dev/pts/3", "9600", "com|/dev/pts/3:9600"},
               {false, "192.168.0.10", "35000", "tcp|192.168.0.10:35000"},
               {false, "", "", "tcp|:"},
               {true, k249, "1", "com|" + k249 + ":1"},
               {true, k249, "12", "Port configuration"},
               {true, k256, "1", "Port name"},
               {true, "n", k256, "Baudrate"},
               {false, k256, "1", "IP address"},
               {false, "1", k256, "IP port"},
               {false, k255, "2", "Port configuration"}};  // fields at their limit
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const ConfigResult r =
        c.serial ? SerialConfigString(c.first, c.second) : TcpConfigString(c.first, c.second);
    const bool built = c.text.find('|') != std::string::npos;
    EXPECT_EQ(r.ok, built);
    EXPECT_EQ(r.text, built
                          ? c.text
                          : "**Failed** " + c.text + " is too long (at most 255 characters)!\r\n");
  }
}

}  // namespace
}  // namespace zorbent::ui
