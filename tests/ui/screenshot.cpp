// Renders the main window after an update of a simulated adapter, and the About box, to PNG:
//   zorbent-screenshot WINDOW.png ABOUT.png
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/update_engine.h"
#include "sim/adapter/adapter_simulator.h"
#include "sim/image/image_builder.h"
#include "ui/qt/about_dialog.h"
#include "ui/qt/app_icon.h"
#include "ui/qt/main_dialog.h"

namespace {

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

  zorbent::sim::SimulatorOptions options;
  options.adapter.model = 1;
  options.adapter.deviceVersion = "2.2.2X";
  zorbent::sim::AdapterSimulator adapter(options);
  std::string error;
  if (!adapter.Start(&error)) {
    std::fprintf(stderr, "zorbent-screenshot: %s\n", error.c_str());
    return 1;
  }
  const std::string config = adapter.ConfigString();  // "com|/dev/pts/N:115200"
  const std::string device = config.substr(4, config.rfind(':') - 4);
  zorbent::sim::LineImageOptions image;
  image.deviceName = "KTR5575";
  image.versionText = "V2.2.3X";
  image.records = 255;
  const std::filesystem::path firmware =
      std::filesystem::temp_directory_path() / "zOrbent_MC_V2.2.3X.txt";
  std::ofstream(firmware, std::ios::binary) << zorbent::sim::BuildLineImage(image).text;

  zorbent::UpdateEngine engine;
  zorbent::ui::MainDialog dialog(engine, [device] {
    return std::vector<zorbent::ui::PortChoice>{{device, device},
                                                {"ttyUSB0", "ttyUSB0 \u2014 FTDI FT232R USB UART"}};
  });
  dialog.show();
  dialog.findChild<QRadioButton*>(QStringLiteral("1000"))->click();
  dialog.findChild<QLineEdit*>(QStringLiteral("1004"))
      ->setText(QString::fromStdString(firmware.string()));
  dialog.findChild<QPushButton*>(QStringLiteral("1006"))->click();
  QDeadlineTimer bound(20000);
  while (dialog.controller().IsRunning() && !bound.hasExpired()) {
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
  }
  QApplication::processEvents();
  if (!Save(dialog, argv[1])) return 1;
  std::filesystem::remove(firmware);

  zorbent::ui::AboutDialog about;
  about.show();
  QApplication::processEvents();
  if (!Save(about, argv[2])) return 1;
  return 0;
}
