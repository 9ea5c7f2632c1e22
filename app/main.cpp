#include <QApplication>
#include <QCommandLineParser>
#include <QStringList>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/update_engine.h"
#include "port/traffic_log.h"
#include "ui/qt/app_icon.h"
#include "ui/qt/main_dialog.h"
#include "ui/serial_ports.h"
#include "zorbent_version.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("zOrbentFwUpdater"));
  QApplication::setApplicationVersion(QStringLiteral(ZORBENT_VERSION));
  QApplication::setDesktopFileName(QStringLiteral("zorbent-fwupdater"));
  QApplication::setWindowIcon(zorbent::ui::AppIcon());

  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("zOrbentFwUpdater " ZORBENT_VERSION
                     ": firmware updater for OBD-II adapters (serial, Bluetooth and WiFi)."));
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption trace(
      QStringLiteral("trace"),
      QStringLiteral("Write every byte of serial traffic to the dated traffic log."));
  const QCommandLineOption serialPort(
      QStringLiteral("serial-port"),
      QStringLiteral("Offer PATH in the serial port lists as well (repeatable)."),
      QStringLiteral("PATH"));
  parser.addOption(trace);
  parser.addOption(serialPort);
  parser.process(app);  // bad options: message and exit code 1
  if (!parser.positionalArguments().isEmpty()) {
    std::fprintf(stderr, "zorbent-fwupdater: unexpected argument '%s'\n",
                 parser.positionalArguments().first().toLocal8Bit().constData());
    return 1;
  }

  std::vector<std::string> extraPorts;
  for (const QString& path : parser.values(serialPort)) {
    if (path.isEmpty()) {
      std::fprintf(stderr, "zorbent-fwupdater: --serial-port needs a device path\n");
      return 1;
    }
    const QByteArray bytes = path.toLocal8Bit();
    extraPorts.emplace_back(bytes.constData(), static_cast<std::size_t>(bytes.size()));
  }
  if (parser.isSet(trace)) zorbent::SetLogLevel(3);

  zorbent::UpdateEngine engine;
  zorbent::ui::MainDialog dialog(engine, [extraPorts] {
    std::vector<zorbent::ui::PortChoice> choices = zorbent::ui::ListPortChoices();
    for (const std::string& path : extraPorts) choices.push_back({path, path});
    return choices;
  });
  dialog.exec();
  return 0;
}
