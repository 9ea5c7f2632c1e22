#include <CLI/CLI.hpp>

#include <string>

#include "cli/console_report.h"
#include "engine/update_engine.h"
#include "port/traffic_log.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int RunJob(const std::string& config, const std::string& file, bool update, bool quiet) {
  zorbent::cli::ConsoleReport report(quiet);
  zorbent::UpdateEngine engine;
  engine.Init(&report, &zorbent::cli::ConsoleReport::Callback);
  const std::int32_t channel = engine.OpenPort(config, update ? file : std::string());
  if (channel < 0) {
    report.Finish();
    return kExitFailed;
  }
  const std::int32_t result = update ? engine.Update(channel) : engine.ReadVersions(channel);
  engine.ClosePort(channel);
  report.Finish();
  return result < 0 ? kExitFailed : kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"zorbent-fw: firmware updater for OBD-II adapters (ELM327 and QK commands)"};
  app.require_subcommand(1);
  bool trace = false;
  bool quiet = false;
  app.add_flag("--trace", trace, "Write every byte of serial traffic to the dated traffic log");
  app.add_flag("-q,--quiet", quiet, "Do not show progress");

  std::string connect;
  std::string file;
  auto* update = app.add_subcommand("update", "Update the adapter's firmware from FILE");
  update->add_option("--connect", connect, "Connection: \"com|DEVICE:BAUD\" or \"tcp|HOST:PORT\"")
      ->required();
  update->add_option("FILE", file, "Firmware file")->required();
  auto* read = app.add_subcommand("read", "Show the adapter's device and adapter versions");
  read->add_option("--connect", connect, "Connection: \"com|DEVICE:BAUD\" or \"tcp|HOST:PORT\"")
      ->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  if (trace) zorbent::SetLogLevel(3);
  if (*update) return RunJob(connect, file, true, quiet);
  return RunJob(connect, {}, false, quiet);
}
