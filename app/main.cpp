#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/update_engine.h"
#include "port/traffic_log.h"
#include "ui/qt/app_icon.h"
#include "ui/qt/main_dialog.h"
#include "ui/qt/session_guard.h"
#include "ui/serial_ports.h"
#include "zorbent_version.h"

namespace {

const QCommandLineOption kTrace(
    QStringLiteral("trace"),
    QStringLiteral("Write every byte of serial traffic to the dated traffic log."));
const QCommandLineOption kSerialPort(
    QStringLiteral("serial-port"),
    QStringLiteral("Offer PATH in the serial port lists as well (repeatable)."),
    QStringLiteral("PATH"));

void DescribeOptions(QCommandLineParser& parser) {
  QCoreApplication::setApplicationName(QStringLiteral("zOrbentFwUpdater"));
  QCoreApplication::setApplicationVersion(QStringLiteral(ZORBENT_VERSION));
  parser.setApplicationDescription(
      QStringLiteral("zOrbentFwUpdater " ZORBENT_VERSION
                     ": firmware updater for OBD-II adapters (serial, Bluetooth and WiFi)."));
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addOption(kTrace);
  parser.addOption(kSerialPort);
}

// The spellings QCommandLineParser gives --help and --version.
bool AsksHelpOrVersion(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--") == 0) return false;
    for (const char* flag : {"-h", "--help", "-?", "--help-all", "-v", "--version"})
      if (std::strcmp(arg, flag) == 0) return true;
  }
  return false;
}

// --help and --version need no display (e.g. over ssh), so they are answered before the
// window toolkit connects to one. Exits the process when one of them is given.
void AnswerHelpOrVersion(int argc, char** argv) {
  if (!AsksHelpOrVersion(argc, argv)) return;
  QCoreApplication core(argc, argv);
  QCommandLineParser parser;
  DescribeOptions(parser);
  // Toolkit options (-platform ...) are unknown here; the answer does not depend on them.
  (void)parser.parse(QCoreApplication::arguments());
  if (parser.isSet(QStringLiteral("version"))) parser.showVersion();
  if (parser.isSet(QStringLiteral("help-all"))) {
    std::fputs(qPrintable(parser.helpText()), stdout);  // the toolkit's options need a display
    std::exit(0);
  }
  if (parser.isSet(QStringLiteral("help"))) parser.showHelp(0);
}

// Whether the window toolkit can find a display: one named in the environment, or a platform
// chosen on the command line or in QT_QPA_PLATFORM.
bool DisplayNamed(int argc, char** argv) {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
      return true;
  return false;
}

// Without a display the toolkit would abort: a wrong option is still named as such, and
// otherwise the user learns what is missing. Exits the process when there is no display.
void RefuseWithoutDisplay(int argc, char** argv) {
  if (DisplayNamed(argc, argv)) return;
  QCoreApplication core(argc, argv);
  QCommandLineParser parser;
  DescribeOptions(parser);
  if (!parser.parse(QCoreApplication::arguments())) {
    std::fprintf(stderr, "zorbent-fwupdater: %s\n", qPrintable(parser.errorText()));
    std::exit(1);
  }
  std::fputs(
      "zorbent-fwupdater: no display to show the window on (neither DISPLAY nor "
      "WAYLAND_DISPLAY is set). Start it in a desktop session, or use zorbent-fw, the command "
      "line updater.\n",
      stderr);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  AnswerHelpOrVersion(argc, argv);
  RefuseWithoutDisplay(argc, argv);

  // Before the toolkit starts threads of its own: a closed terminal or the session's end must
  // not cut an update short.
  zorbent::ui::SessionGuard guard;
  QApplication app(argc, argv);
  QApplication::setDesktopFileName(QStringLiteral("zorbent-fwupdater"));
  QApplication::setWindowIcon(zorbent::ui::AppIcon());

  QCommandLineParser parser;
  DescribeOptions(parser);
  const QCommandLineOption& trace = kTrace;
  const QCommandLineOption& serialPort = kSerialPort;
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
  guard.Watch(&dialog);
  dialog.exec();
  guard.Watch(nullptr);
  return dialog.controller().ExitStatus();
}
