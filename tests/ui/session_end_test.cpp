// The window against the end of its session, with real signals. Each case runs in a fresh
// child, where the guard comes before any thread, as in the program.
#include "ui/qt/session_guard.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

#include <QApplication>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include "tests/support/child_process.h"
#include "tests/support/sim_adapter.h"
#include "ui/qt/main_dialog.h"

namespace zorbent::ui {
namespace {

struct SessionCase {
  int signo;
  std::string slow;  // the command the signal comes during; empty: while idle
  bool older;        // the signal comes while the older file's question is open
  int exitStatus;
};

// An idle window closes at once; an update not yet downloading stops before it changes the
// adapter, nobody answering its question; one downloading is carried to its end. The window
// then closes itself, its exit status that of the update.
TEST(SessionEnd, TheWindowClosesAfterTheDownloadNeverDuringIt) {
  const sim::BuiltImage image = test::NewerImage(2);
  const std::string identifying = "QKPROI", downloading = "QKBL" + image.lines[2].substr(2);
  const SessionCase cases[] = {{SIGHUP, "", false, 0},
                               {SIGHUP, identifying, false, kExitFailed},
                               {SIGTERM, "", true, kExitFailed},
                               {SIGTERM, downloading, false, 0}};
  for (const SessionCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.signo) + " " + c.slow + (c.older ? " older" : ""));
    const int code = test::RunInChild(
        [&] {
          SessionGuard guard;
          if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
          int argc = 1;
          char name[] = "ui_session_end_test";
          char* argv[] = {name, nullptr};
          QApplication app(argc, argv);
          sim::SimulatorOptions options = test::AdapterModel(2);
          if (!c.slow.empty()) options.link.slowAnswers[c.slow] = 1000;
          if (c.older) options.adapter.deviceVersion = "2.2.40";
          test::RunningAdapter adapter(options);
          testing::FirmwareFile file(image.text);
          UpdateEngine engine;
          MainDialog dialog(engine, [&] { return PlainChoices({adapter.Device()}); });
          guard.Watch(&dialog);
          dialog.show();
          if (!c.slow.empty() || c.older) {
            dialog.findChild<QRadioButton*>(QStringLiteral("1001"))->click();
            dialog.SetPathText(file.Path());
            dialog.controller().OnUpdate();
          }
          // Busy: the command before the slow one was answered, and another arrived.
          const auto busy = [&] {
            if (c.older) return QApplication::activeModalWidget() != nullptr;
            if (c.slow.empty()) return true;
            const std::vector<sim::TranscriptEntry> answered = adapter->Transcript();
            const std::string before = c.slow == identifying ? "QKI\r" : "QKUPDT03\r";
            return std::any_of(answered.begin(), answered.end(),
                               [&](const auto& e) { return e.command == before; }) &&
                   adapter->CommandCount() > static_cast<int>(answered.size());
          };
          // Looked at from a timer: the question's box runs a loop of its own.
          QTimer poll;
          QObject::connect(&poll, &QTimer::timeout, [&] {
            if (busy() && poll.isActive()) {
              poll.stop();
              ::kill(::getpid(), c.signo);
            }
          });
          poll.start(5);
          if (!QTest::qWaitFor([&] { return !dialog.isVisible(); }, 20000)) return 21;
          guard.Watch(nullptr);
          if (adapter->Flashes() != (c.slow == downloading ? 1 : 0)) return 22;
          if (c.slow != downloading &&
              testing::FirstOf(*adapter.operator->(), testing::kDownloadCommands) >= 0)
            return 23;
          return dialog.controller().ExitStatus();
        },
        60000);
    EXPECT_EQ(code, c.exitStatus);
  }
}

}  // namespace
}  // namespace zorbent::ui
