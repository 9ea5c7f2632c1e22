// adapter-sim: one simulated adapter on a pseudo-terminal or a TCP port, served until Ctrl-C
// or SIGTERM, power cycled by SIGUSR1; "adapter-sim make-image ..." writes a firmware file
// instead.

#include <CLI/CLI.hpp>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/interrupt_watcher.h"
#include "sim/adapter/adapter_simulator.h"
#include "sim/adapter/transports.h"
#include "sim/image/make_image_command.h"
#include "zorbent_version.h"

namespace {

using zorbent::sim::RecordFaults;
namespace fs = std::filesystem;

// A symbolic link to the pseudo-terminal, a name that stays the same between runs; removed
// with the object if it still points there.
class DeviceLink {
 public:
  DeviceLink() = default;
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;
  ~DeviceLink() {
    std::error_code ec;
    if (!path_.empty() && fs::read_symlink(path_, ec) == target_) fs::remove(path_, ec);
  }

  // Makes room for the link at path before the device exists: removes a stale link to a
  // device (one an earlier run left), nothing else.
  static bool Clear(const fs::path& path, std::string& error) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    const std::string named = "--link: " + path.string();
    if (fs::is_symlink(status)) {
      const fs::path old = fs::read_symlink(path, ec);
      if (!old.string().starts_with("/dev/")) {
        error = named + " links to " + old.string() +
                ", not to a device: not replacing it; remove it or give another path";
        return false;
      }
      if (fs::exists(path, ec)) {
        error = named + " links to " + old.string() +
                ", which exists (another adapter-sim may serve it): give another path, or "
                "remove the link if it is stale";
        return false;
      }
      if (!fs::remove(path, ec)) {
        error = named + " is a stale link, but cannot be removed: " + ec.message();
        return false;
      }
    } else if (status.type() != fs::file_type::not_found) {
      error = named + " exists and is not a symbolic link: not replacing it; give another path";
      return false;
    }
    return true;
  }

  bool Create(const fs::path& path, const fs::path& target, std::string& error) {
    std::error_code ec;
    fs::create_symlink(target, path, ec);
    if (ec) {
      error = "--link: cannot create the link " + path.string() + ": " + ec.message();
      return false;
    }
    path_ = path;
    target_ = target;
    return true;
  }

 private:
  fs::path path_;
  fs::path target_;
};

// What a power cycle left, for the line on stderr.
std::string PowerState(const zorbent::sim::AdapterSimulator& simulator, bool echo, bool tcp) {
  std::string state = simulator.InDownloadMode()
                          ? "in download mode (a download had not completed): the boot loader "
                            "answers, only download commands work"
                          : "runs its firmware v" + simulator.DeviceVersion();
  state += std::string("; 115200 baud, echo ") + (echo ? "on" : "off");
  if (tcp) state += "; any TCP connection was dropped";
  return state;
}

// "N" (strikes once) or "N:COUNT".
bool AddRecordFault(const std::string& text, RecordFaults& faults, std::string& error) {
  const std::size_t colon = text.find(':');
  try {
    std::size_t used = 0;
    const int record = std::stoi(text.substr(0, colon), &used);
    if (used != (colon == std::string::npos ? text.size() : colon) || record < 1) throw 0;
    int count = 1;
    if (colon != std::string::npos) {
      const std::string tail = text.substr(colon + 1);
      count = std::stoi(tail, &used);
      if (used != tail.size() || count < 1) throw 0;
    }
    faults[record] += count;
    return true;
  } catch (...) {
    error = "record fault '" + text + "' is not N or N:COUNT with positive numbers";
    return false;
  }
}

constexpr int kMaxDelayMs = 600000;

// "COMMAND:MS" (the command may hold colons itself).
bool AddDelay(const std::string& text, std::map<std::string, int>& delays) {
  const std::size_t colon = text.rfind(':');
  int ms = -1;
  try {
    std::size_t used = 0;
    if (colon != std::string::npos && colon > 0) ms = std::stoi(text.substr(colon + 1), &used);
    if (used != text.size() - colon - 1) ms = -1;
  } catch (...) {
    ms = -1;
  }
  if (ms < 0 || ms > kMaxDelayMs) return false;
  delays[text.substr(0, colon)] = ms;
  return true;
}

// SIGUSR1 power cycles the adapter; Ctrl-C and SIGTERM stop it. Made before any other thread,
// so that the signals reach the watcher alone; it only wakes the serving loop, which does the
// work.
class Signals {
 public:
  Signals()
      : watcher_(
            [this](zorbent::Interruption kind, int) {
              std::lock_guard lock(mutex_);
              if (kind == zorbent::Interruption::kUserSignal) {
                ++powerCycles_;
              } else {
                stop_ = true;
              }
              signalled_.notify_all();
            },
            zorbent::InterruptWatcher::WithUserSignal{}) {}

  // Sleeps until the next signal: true for a power cycle, false to stop.
  bool WaitForPowerCycle() {
    std::unique_lock lock(mutex_);
    signalled_.wait(lock, [this] { return stop_ || powerCycles_ > 0; });
    if (stop_) return false;
    --powerCycles_;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable signalled_;
  bool stop_ = false;
  int powerCycles_ = 0;
  zorbent::InterruptWatcher watcher_;  // last: it calls on the members above until it is gone
};

// The command line as given, before it is checked and turned into the simulator's options.
struct ServeArgs {
  zorbent::sim::SimulatorOptions options;
  bool pty = false;
  std::optional<int> tcpPort;
  std::string model;
  std::optional<std::string> deviceVersion;
  std::optional<std::string> elmVersion;
  std::optional<std::string> productId;
  std::optional<std::string> flashedVersion;
  bool downloadMode = false;
  bool echoOff = false;
  bool transcript = false;
  std::vector<std::string> repPack, repBlock, err02, slowAnswers, echoWhileBusy;
  std::string linkPath;
};

// What the simulated adapter is: model, versions, answers, how it starts.
void AddAdapterOptions(CLI::App& app, ServeArgs& a) {
  const zorbent::sim::TransportHelp transportHelp = zorbent::sim::TransportOptionHelp();
  auto* transport = app.add_option_group("transport");
  transport->add_flag("--pty", a.pty, transportHelp.pty);
  transport->add_option("--tcp", a.tcpPort, transportHelp.tcp)->check(CLI::Range(0, 65535));
  transport->require_option(0, 1);
  app.add_option("--model", a.model,
                 "Ruvo03, KTR5575, KTR5577, KTR5578, Ruvo01 (line mode), KTR558, KTR5688 "
                 "(block), generic (an ordinary ELM327)")
      ->required();
  app.add_option("--device-version", a.deviceVersion, "firmware version text, e.g. 2.2.30");
  app.add_option("--elm-version", a.elmVersion, "announced ELM327 version, e.g. 2.2");
  app.add_option("--product-id", a.productId, "answer to QKPROI");
  app.add_option("--banner", a.options.adapter.banner,
                 "whole answer to ATI, e.g. \"OBDII v1.5\" (default: ELM327 v<elm-version>)");
  app.add_option("--flashed-version", a.flashedVersion,
                 "version after a download whose version the adapter cannot read: block mode "
                 "(else the version text make-image writes into the first record), or line mode "
                 "closed by the end record (default: old version + 1)");
  app.add_flag("--download-mode", a.downloadMode, "start in download mode");
  app.add_option("--boot-banner", a.options.adapter.bootBanner,
                 "whole answer to ATI in download mode, e.g. \"?\" or \"ELM327 v2.2\" "
                 "(default: zOrbent boot loader)");
  app.add_flag("--echo-off", a.echoOff, "start with the echo off");
  app.add_flag("--link-model", a.options.linkModel, "delay 10 bits per byte at the line rate");
  app.add_option("--processing-us", a.options.processingUs, "per-command time with --link-model")
      ->check(CLI::Range(0, 10000000));
  app.add_option("--rate-line-delay", a.options.rateLineDelayMs,
                 "block mode: send the \"KTR558 Update\" line at the new rate MS milliseconds "
                 "after the OK to the rate command, switched or not (default " +
                     std::to_string(zorbent::sim::kRateLineDelayMs) + ")")
      ->check(CLI::Range(0, kMaxDelayMs));
}

// The faults the simulated adapter or its link shows.
void AddFaultOptions(CLI::App& app, ServeArgs& a) {
  zorbent::sim::SimulatorOptions& options = a.options;
  app.add_flag("--silent", options.link.silent, "never answer");
  app.add_option("--lose-answer-at", options.link.loseAnswerAt, "the N-th command is lost, once")
      ->check(CLI::Range(1, 1 << 30));
  app.add_flag("--split-answers", options.link.splitAnswers, "one byte per write");
  app.add_flag("--nul-bytes", options.link.nulBytes, "NUL bytes and stray CR LF in answers");
  app.add_flag("--garbage-after-prompt", options.link.garbageAfterPrompt,
               "noise after every prompt");
  app.add_flag("--flood", options.link.floodWithoutPrompt,
               "answer every command with a long run and no prompt");
  app.add_option("--slow-answer", a.slowAnswers,
                 "answer COMMAND only after MS milliseconds (COMMAND:MS, e.g. ATE1:2500)");
  app.add_option("--late-answers", options.link.everyAnswerLateMs,
                 "answer every command not named by --slow-answer only after MS milliseconds")
      ->check(CLI::Range(0, kMaxDelayMs));
  app.add_flag("--rate-blind", options.link.rateBlind,
               "the host's line rate does not reach the adapter (a Bluetooth serial link)");
  app.add_option("--echo-while-busy", a.echoWhileBusy,
                 "answer COMMAND only after MS milliseconds, echoing at once the commands that "
                 "arrive meanwhile and answering them after it (COMMAND:MS, e.g. ATE1:800)");
  app.add_option("--rep-pack-at", a.repPack, "ask to repeat record N (N or N:COUNT)");
  app.add_option("--rep-block-at", a.repBlock, "ask to repeat the pair/record holding N");
  app.add_option("--err02-at", a.err02, "reject record N with ERR02");
  app.add_option("--disconnect-at", options.faults.disconnectAtRecord,
                 "hang up when record N arrives")
      ->check(CLI::Range(1, 1 << 30));
  app.add_option("--power-loss-at", options.faults.powerLossAtRecord,
                 "lose power when record N arrives")
      ->check(CLI::Range(1, 1 << 30));
  app.add_flag("--strict-close", options.faults.strictClose,
               "line mode: refuse QKFL without the trailer line even after the end record");
}

// The checks CLI11 cannot make, and the values into the simulator's options. False, said on
// stderr, for a usage error.
bool ArgsUsable(ServeArgs& a) {
  zorbent::sim::SimulatorOptions& options = a.options;
  if (const std::string refusal = zorbent::sim::TransportRefusal(a.pty, a.tcpPort.has_value());
      !refusal.empty()) {
    std::cerr << "adapter-sim: " << refusal << "\n";
    return false;
  }
  const std::optional<int> code = zorbent::sim::ParseModel(a.model);
  if (!code) {
    std::cerr << "adapter-sim: unknown model '" << a.model
              << "' (Ruvo03, KTR5575, KTR5577, KTR5578, Ruvo01, KTR558, KTR5688, generic)\n";
    return false;
  }
  options.adapter.model = *code;
  if (a.deviceVersion) options.adapter.deviceVersion = *a.deviceVersion;
  if (a.elmVersion) options.adapter.elmVersion = *a.elmVersion;
  if (a.productId) options.adapter.productId = *a.productId;
  if (a.flashedVersion) options.adapter.flashedVersion = *a.flashedVersion;
  options.adapter.startInDownloadMode = a.downloadMode;
  options.adapter.echo = !a.echoOff;
  std::string error;
  for (const auto& [list, faults] : {std::pair{&a.repPack, &options.faults.repPack},
                                     std::pair{&a.repBlock, &options.faults.repBlock},
                                     std::pair{&a.err02, &options.faults.err02}}) {
    for (const std::string& text : *list) {
      if (!AddRecordFault(text, *faults, error)) {
        std::cerr << "adapter-sim: " << error << "\n";
        return false;
      }
    }
  }
  for (const auto& [flag, list, delays] :
       {std::tuple{"--slow-answer", &a.slowAnswers, &options.link.slowAnswers},
        std::tuple{"--echo-while-busy", &a.echoWhileBusy, &options.link.echoWhileBusy}}) {
    for (const std::string& text : *list) {
      if (!AddDelay(text, *delays)) {
        std::cerr << "adapter-sim: " << flag << " '" << text
                  << "' is not COMMAND:MS with MS from 0 to " << kMaxDelayMs << "\n";
        return false;
      }
    }
  }
  if (a.tcpPort) {
    if (!a.linkPath.empty()) {
      std::cerr << "adapter-sim: --link names a pseudo-terminal: with --tcp, give the host "
                   "the port\n";
      return false;
    }
    options.tcp = true;
    options.tcpPort = *a.tcpPort;
  }
  return true;
}

int Serve(int argc, char** argv) {
  Signals signals;  // before any other thread
  CLI::App app{"adapter-sim " ZORBENT_VERSION ": simulated OBD-II adapter for firmware updates",
               "adapter-sim"};
  app.set_version_flag("--version", "adapter-sim " ZORBENT_VERSION);
  app.footer(std::string("Subcommands:\n"
                         "  make-image  writes a firmware file that fits a model, newer than the "
                         "simulated adapter runs, e.g.\n"
                         "              adapter-sim make-image --model KTR558 --output fw.txt\n"
                         "              (adapter-sim make-image --help lists its options)\n"
                         "\n") +
             zorbent::sim::TransportOptionHelp().powerCycle);
  ServeArgs args;
  AddAdapterOptions(app, args);
  AddFaultOptions(app, args);
  app.add_flag("--transcript", args.transcript, "print every exchange when stopped");
  app.add_option("--link", args.linkPath,
                 "make a symbolic link at PATH to the pseudo-terminal (replacing a stale link to a "
                 "device, never anything else), removed at exit");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  if (!ArgsUsable(args)) return 2;
  const zorbent::sim::SimulatorOptions& options = args.options;

  std::string error;
  if (!args.linkPath.empty() && !DeviceLink::Clear(args.linkPath, error)) {
    std::cerr << "adapter-sim: " << error << "\n";
    return 1;
  }
  zorbent::sim::AdapterSimulator simulator(options);
  if (!simulator.Start(&error)) {
    std::cerr << "adapter-sim: " << error << "\n";
    return 1;
  }
  const std::string config = simulator.ConfigString();
  std::cout << config << std::endl;
  DeviceLink link;
  if (!args.linkPath.empty()) {
    const std::string device = config.substr(4, config.rfind(':') - 4);  // com|DEVICE:RATE
    if (!link.Create(args.linkPath, device, error)) {
      std::cerr << "adapter-sim: " << error << "\n";
      return 1;
    }
    std::cout << "linked " << args.linkPath << " -> " << device << std::endl;
  }
  while (signals.WaitForPowerCycle()) {
    simulator.PowerCycle();
    std::cerr << "power cycled: " << PowerState(simulator, options.adapter.echo, options.tcp)
              << std::endl;
  }
  simulator.Stop();
  if (args.transcript) std::cout << simulator.TranscriptText() << std::flush;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "make-image") == 0) {
    return zorbent::sim::MakeImageMain(argc - 1, argv + 1);
  }
  return Serve(argc, argv);
}
