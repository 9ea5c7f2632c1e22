// Renders the main window after a scripted Read session, and the About box, to PNG files:
//   zorbent-screenshot WINDOW.png ABOUT.png
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/update_engine.h"
#include "tests/support/pty_pair.h"
#include "ui/qt/about_dialog.h"
#include "ui/qt/app_icon.h"
#include "ui/qt/main_dialog.h"

namespace {

std::vector<std::string> VersionPeer(const std::string& command) {
  if (command == "QKVERS\r") return {command + "V2.3.1\r\r>"};
  if (command == "QKI\r") return {command + "zOrbent MC v2.2.5\r\r>"};
  return {command + "OK\r\r>"};
}

bool Save(QWidget& widget, const char* path) {
  if (widget.grab().save(QString::fromLocal8Bit(path), "PNG")) return true;
  std::fprintf(stderr, "zorbent-screenshot: cannot write %s\n", path);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zorbent-screenshot WINDOW.png ABOUT.png\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setWindowIcon(zorbent::ui::AppIcon());

  zorbent::test::PtyPair pty;
  pty.StartResponder(VersionPeer);
  zorbent::UpdateEngine engine;
  const std::string device = pty.SlavePath();
  zorbent::ui::MainDialog dialog(engine, [device] {
    return std::vector<std::string>{"ttyUSB0", device};
  });
  dialog.show();
  dialog.findChild<QRadioButton*>(QStringLiteral("1001"))->click();
  dialog.usbPage()->names()->setCurrentIndex(1);
  dialog.findChild<QPushButton*>(QStringLiteral("1009"))->click();
  QDeadlineTimer bound(20000);
  while (dialog.controller().IsRunning() && !bound.hasExpired()) {
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
  }
  QApplication::processEvents();
  dialog.usbPage()->names()->setCurrentIndex(0);
  if (!Save(dialog, argv[1])) return 1;

  zorbent::ui::AboutDialog about;
  about.show();
  QApplication::processEvents();
  if (!Save(about, argv[2])) return 1;
  pty.StopResponder();
  return 0;
}
