#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/detect.h"
#include "cli/firmware_info.h"
#include "cli/history_command.h"
#include "cli/jobs.h"
#include "cli/json_output.h"
#include "cli/latest_commands.h"
#include "cli/ports.h"
#include "cli/repository_commands.h"
#include "cli/verbose.h"
#include "platform/files.h"
#include "platform/interrupt_watcher.h"
#include "platform/serial_ports.h"
#include "port/port_config.h"
#include "port/traffic_log.h"
#include "zorbent_version.h"
#if ZORBENT_HAVE_DEMO
#include "cli/demo.h"
#endif

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kDefaultWifiPort = 35000;

struct Connection {
  std::vector<std::string> connect;
  std::string connectFile;
  std::string port;
  int baud = 115200;
  std::string wifi;
};

void AddConnectionOptions(CLI::App& command, Connection& c) {
  command.add_option("--connect", c.connect,
                     "Adapter to use: " + std::string(zorbent::kConfigStringForms) +
                         ", nothing after BAUD or PORT; repeat it to work on several adapters "
                         "at once");
  command.add_option("--connect-file", c.connectFile,
                     "File listing one connection per line (\"#\" starts a comment)");
  auto* port = command.add_option(
      "--port", c.port,
      "Serial device, e.g. /dev/ttyUSB0; auto: the one adapter detect finds, probing the "
      "devices of the USB-serial bridges adapters are built on and Bluetooth serial links "
      "(opening a device may reset a board on it; an update probes only once its file passed "
      "the check)");
  command.add_option("--baud", c.baud, "Line rate for --port (default 115200)")
      ->needs(port)
      ->check(CLI::Range(1, 4000000));
  command.add_option("--wifi", c.wifi, "WiFi adapter HOST[:PORT] (default port 35000)");
}

// Every connection string, before anything runs: a bad one is a usage error, reported the way
// the engine reports it, with the string named. Stricter than the engine, which passes over
// fields and sub-fields after the rate or port: "tcp|host:35000:80" would reach port 35000.
bool ConnectionStringsParse(const std::vector<std::string>& connections) {
  bool good = true;
  for (const std::string& connection : connections) {
    const auto fields = zorbent::SplitText(connection, '|');
    const bool nothingMore = fields.size() == 2 && zorbent::SplitText(fields[1], ':').size() == 2;
    zorbent::ParsedConfig parsed;
    if (nothingMore && zorbent::ParseConfigString(connection, parsed)) continue;
    std::fprintf(stderr, "**Failed** Port parameter error!\nExpected %s, not \"%s\".\n",
                 std::string(zorbent::kConfigStringForms).c_str(), connection.c_str());
    good = false;
  }
  return good;
}

// Builds the configuration strings; false with a message when none or a bad one was given
// (a bad string is told at once, leaving error empty), or when two of them name one adapter.
bool Connections(const Connection& c, std::vector<std::string>& out, std::string& error) {
  out = c.connect;
  std::vector<std::string> origins(out.size(), "--connect");
  if (!c.connectFile.empty() &&
      !zorbent::cli::ReadConnectionList(c.connectFile, out, origins, error))
    return false;
  if (!c.port.empty()) {
    // Either would end the device's part of the string, and the rest be read as its rate.
    if (c.port.find_first_of(":|") != std::string::npos) {
      error = "--port: \"" + c.port + "\" cannot be given as a device: \":\" and \"|\" " +
              "separate the parts of a connection string";
      return false;
    }
    out.push_back("com|" + c.port + ":" + std::to_string(c.baud));
    origins.push_back("--port");
  }
  if (!c.wifi.empty()) {
    std::string host = c.wifi;
    int port = kDefaultWifiPort;
    const auto colon = host.find(':');
    if (colon != std::string::npos) {
      const std::string digits = host.substr(colon + 1);
      char* end = nullptr;
      const long value = std::strtol(digits.c_str(), &end, 10);
      if (digits.empty() || *end != '\0' || value < 1 || value > 65535) {
        // Connection strings separate the port with ':', so an IPv6 literal cannot be named.
        error = "--wifi: \"" + digits + "\" is not a TCP port (1 to 65535); give HOST or " +
                "HOST:PORT with an IPv4 address or a host name";
        return false;
      }
      port = static_cast<int>(value);
      host.resize(colon);
    }
    if (host.empty()) {
      error = "--wifi: no host given";
      return false;
    }
    out.push_back("tcp|" + host + ":" + std::to_string(port));
    origins.push_back("--wifi");
  }
  if (out.empty()) {
    error = "no adapter given: use --connect, --connect-file, --port or --wifi";
    return false;
  }
  // A bad string is told as such, not as a second name of another string's adapter.
  if (!ConnectionStringsParse(out)) return false;
  return zorbent::cli::EachAdapterOnce(out, origins, error);
}

// Devices for --add-port: each must exist, and be nameable in a connection string.
bool AddedPortsUsable(const std::vector<std::string>& paths, std::string& error) {
  for (const std::string& path : paths) {
    if (path.find_first_of(":|") != std::string::npos) {
      error = "--add-port: \"" + path + "\" cannot be given as a device: \":\" and \"|\" " +
              "separate the parts of a connection string";
      return false;
    }
    if (zorbent::LookAtPath(path).kind == zorbent::PathKind::kNone) {
      error = "--add-port: " + path + " does not exist";
      return false;
    }
  }
  return true;
}

// Options of a command given before its name ("--baud 9600 read --port X") go after it, where
// the command takes them; the first word that is neither an option nor an option's value is
// the command. Global options stay where they are. False, naming the word, for an unknown
// command.
bool CommandOptionsAfterCommand(CLI::App& app, std::vector<std::string>& words) {
  const auto optionOf = [&app](const std::string& word) -> const CLI::Option* {
    const std::string name = word.substr(0, word.find('='));
    if (const CLI::Option* global = app.get_option_no_throw(name)) return global;
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; }))
      if (const CLI::Option* option = command->get_option_no_throw(name)) return option;
    return nullptr;
  };
  std::vector<std::string> moved;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "--") return true;
    if (word.starts_with('-') && word.size() > 1) {
      const CLI::Option* option = optionOf(word);
      const bool takesValue = option != nullptr && option->get_items_expected_max() > 0 &&
                              word.find('=') == std::string::npos && i + 1 < words.size();
      const std::size_t end = i + (takesValue ? 2 : 1);
      if (option != nullptr && app.get_option_no_throw(word.substr(0, word.find('='))) == nullptr) {
        moved.insert(moved.end(), words.begin() + static_cast<std::ptrdiff_t>(i),
                     words.begin() + static_cast<std::ptrdiff_t>(end));
        words.erase(words.begin() + static_cast<std::ptrdiff_t>(i),
                    words.begin() + static_cast<std::ptrdiff_t>(end));
        --i;
      } else if (takesValue) {
        ++i;
      }
      continue;
    }
    const auto named = [](const std::string& name) {
      return [&name](const CLI::App* c) { return c->check_name(name); };
    };
    const auto commands = app.get_subcommands(named(word));
    if (commands.empty()) {
      std::fprintf(stderr,
                   "zorbent-fw: unknown command \"%s\"\nRun with --help for more information.\n",
                   word.c_str());
      return false;
    }
    // A command of commands ("firmware list"): a mistyped second word is named as well.
    const CLI::App* command = commands.front();
    const auto inner = command->get_subcommands([](const CLI::App*) { return true; });
    if (!inner.empty() && i + 1 < words.size() && !words[i + 1].starts_with('-') &&
        command->get_subcommands(named(words[i + 1])).empty()) {
      std::string names;
      for (const CLI::App* c : inner) names += (names.empty() ? "" : ", ") + c->get_name();
      std::fprintf(stderr,
                   "zorbent-fw: unknown command \"%s %s\": the %s commands are %s\nRun with "
                   "--help for more information.\n",
                   word.c_str(), words[i + 1].c_str(), word.c_str(), names.c_str());
      return false;
    }
    words.insert(words.begin() + static_cast<std::ptrdiff_t>(i) + 1, moved.begin(), moved.end());
    return true;
  }
  words.insert(words.end(), moved.begin(), moved.end());  // no command: CLI11 says so
  return true;
}

// Where the history is kept, as --help says it.
const char* HistoryPlace() {
#ifdef _WIN32
  return "%LOCALAPPDATA%\\zorbent-fw, or %ZORBENT_FW_DATA_DIR%";
#else
  return "$XDG_DATA_HOME/zorbent-fw (~/.local/share/zorbent-fw), or $ZORBENT_FW_DATA_DIR";
#endif
}

// Where the firmware settings are, as --help says it.
const char* SettingsPlace() {
#ifdef _WIN32
  return "the repository from --repository, %ZORBENT_FW_REPOSITORY% or a \"repository = URL\" "
         "line in %LOCALAPPDATA%\\zorbent-fw\\config (%ZORBENT_FW_CONFIG_DIR% names another "
         "folder), its root from --root or a \"root = PATH\" line there, or the maker's built in; "
         "trusted metadata kept in %LOCALAPPDATA%\\zorbent-fw\\repositories; downloads in "
         "%LOCALAPPDATA%\\zorbent-fw\\cache (or %ZORBENT_FW_CACHE_DIR%).";
#else
  return "the repository from --repository, $ZORBENT_FW_REPOSITORY or a \"repository = URL\" "
         "line in $XDG_CONFIG_HOME/zorbent-fw/config (~/.config/zorbent-fw/config; "
         "$ZORBENT_FW_CONFIG_DIR names another folder), its root from --root or a \"root = "
         "PATH\" line there, or the maker's (built in, or /etc/zorbent-fw/root.json); trusted "
         "metadata kept in ~/.local/share/zorbent-fw/repositories; downloads in "
         "~/.cache/zorbent-fw (or $ZORBENT_FW_CACHE_DIR).";
#endif
}

void AddSourceOptions(CLI::App& command, zorbent::cli::SourceOptions& source) {
  command
      .add_option("--repository", source.repository,
                  "Firmware repository (its folder's https:// URL, holding metadata/ and "
                  "targets/) instead of the configured one")
      ->type_name("URL");
  command
      .add_option("--root", source.root,
                  "The repository's root.json, trusted on the first run only (afterwards the "
                  "root kept then counts)")
      ->type_name("FILE");
  command
      .add_option("--ca-file", source.caFile,
                  "Also trust this CA (PEM) for the repository's https server (a private server)")
      ->type_name("PEM");
  command.add_flag("--allow-http", source.allowHttp,
                   "Allow an http:// repository beyond this computer (refused without it)");
}

// What every command takes, given before or after the command's name.
struct GlobalOptions {
  bool trace = false;
  bool quiet = false;
  bool verbose = false;
  bool json = false;
  std::vector<std::string> addedPorts;
  zorbent::DeviceTree tree;  // the system's devices and addedPorts, once they passed

  zorbent::cli::OutputFormat Format() const {
    return json ? zorbent::cli::OutputFormat::kJson : zorbent::cli::OutputFormat::kText;
  }
};

void AddGlobalOptions(CLI::App& app, GlobalOptions& global) {
  app.set_version_flag("--version", "zorbent-fw " ZORBENT_VERSION);
  app.require_subcommand(1);
  app.fallthrough();  // the global options also after the command name
  app.add_flag("--trace", global.trace,
               "Write every byte of adapter traffic to the dated traffic log");
  app.add_flag("-q,--quiet", global.quiet, "Do not show progress");
  app.add_flag("-v,--verbose", global.verbose, "Show the conversation with the adapter on stderr");
  app.add_flag("--json", global.json,
               "Write only JSON Lines to stdout, one object per adapter, port, device, file or "
               "history entry or build (read, update, detect, ports, inspect, history, firmware "
               "list); the messages go to stderr");
  app.add_option("--add-port", global.addedPorts,
                 "Also consider this device in ports, detect and --port auto, besides the ones "
                 "the system lists (e.g. a simulator's link); repeat it for more")
      ->type_name("PATH");
}

// A command of zorbent-fw: the subcommand holding the options it declared, and what runs it
// once they were parsed. Its options live as long as run does.
struct Command {
  const CLI::App* app;
  std::function<int()> run;
};

int UsageError(const std::string& what) {
  std::fprintf(stderr, "zorbent-fw: %s\nRun with --help for more information.\n", what.c_str());
  return kExitUsage;
}

// The job options every command on adapters starts from.
zorbent::cli::JobOptions JobOptionsFor(const GlobalOptions& global) {
  zorbent::cli::JobOptions options;
  options.quiet = global.quiet;
  options.json = global.json;
  options.keepHistory = true;
  return options;
}

// "auto" as the device: the one adapter that detect finds. False, said, when there is none.
bool AutoDevicesFound(std::vector<std::string>& connections, const GlobalOptions& global) {
  for (std::string& connection : connections) {
    if (!connection.starts_with("com|auto:")) continue;
    std::string device;
    std::string error;
    std::FILE* const text = global.json ? stderr : stdout;  // stdout carries JSON alone
    if (!zorbent::cli::AutoDevice(device, error, global.tree, text)) {
      std::fprintf(text, "**Failed** %s", error.c_str());
      return false;
    }
    connection = "com|" + device + connection.substr(8);
  }
  return true;
}

// The configuration strings of a command's connection options into options.connections; the
// exit status of a usage error, or -1 to go on.
int ConnectionsGiven(const Connection& connection, zorbent::cli::JobOptions& options) {
  std::string error;
  if (Connections(connection, options.connections, error)) return -1;
  if (!error.empty()) UsageError(error);  // a bad string was told at once
  return kExitUsage;
}

struct UpdateOptions {
  Connection connection;
  std::string file;
  bool latest = false;
  bool requireSigned = false;
  bool checkOnly = false;
  bool recover = false;
  bool allowOlder = false;
  zorbent::cli::SourceOptions source;
};

// What is wrong with an update's options together, or nullptr.
const char* UpdateMisuse(const UpdateOptions& u, std::size_t adapters) {
  if (u.latest && !u.file.empty()) return "update: give either FILE or --latest, not both";
  if (!u.latest && u.file.empty()) return "update: give the firmware FILE, or --latest";
  if (u.latest && adapters > 1)
    return "update --latest works on one adapter at a time: give one --port, --wifi or "
           "--connect";
  if (u.latest && (u.recover || u.requireSigned))
    return "update --latest takes neither --recover nor --require-signed: finish an "
           "interrupted update with its FILE and --recover";
  return nullptr;
}

int RunUpdate(const UpdateOptions& u, const GlobalOptions& global) {
  zorbent::cli::JobOptions options = JobOptionsFor(global);
  options.update = true;
  options.checkOnly = u.checkOnly;
  options.recover = u.recover;
  options.allowOlder = u.allowOlder;
  options.firmwareFile = u.file;
  if (const int misuse = ConnectionsGiven(u.connection, options); misuse >= 0) return misuse;
  if (const char* misuse = UpdateMisuse(u, options.connections.size())) return UsageError(misuse);
  zorbent::cli::LatestPlan plan;
  if (u.latest) {
    // The repository first: a refused one never reaches a device.
    if (const int refused = zorbent::cli::PrepareLatest(u.source, options, plan); refused >= 0)
      return refused;
  } else {
    // The file is read here, once: the repository look-up, the probe's decision, the jobs and
    // the history all use these bytes, so a file replaced meanwhile is never what is sent.
    options.firmware = zorbent::cli::ReadFirmware(u.file);
    if (!zorbent::cli::NoteFileSignature(u.source, u.requireSigned, options)) return kExitFailed;
  }
  // Probing opens devices, so an update probes only with a usable file; with a bad one
  // RunJobs refuses before any device.
  if ((u.latest || options.firmware->usable) && !AutoDevicesFound(options.connections, global))
    return kExitFailed;
  const zorbent::cli::Tracing tracing(global.trace, global.verbose, options.connections.size() > 1);
  if (u.latest) return zorbent::cli::RunLatest(plan, options);
  return zorbent::cli::RunJobs(options);
}

Command AddUpdateCommand(CLI::App& app, const GlobalOptions& global) {
  auto u = std::make_shared<UpdateOptions>();
  auto* update = app.add_subcommand(
      "update",
      "Update the adapter's firmware from FILE, or with --latest from the newest build "
      "in the firmware repository");
  AddConnectionOptions(*update, u->connection);
  // Required unless --latest: a required FILE is what keeps a --connect before it from taking
  // it as a second connection.
  auto* fileOption =
      update->add_option("FILE", u->file, "Firmware file (none with --latest)")->required();
  update
      ->add_flag_function(
          "--latest",
          [u, fileOption](std::int64_t count) {
            u->latest = count > 0;
            fileOption->required(!u->latest);
          },
          "Instead of FILE: read the adapter, then download, verify and install the newest "
          "build for its model from the firmware repository (--repository or the settings)")
      ->trigger_on_parse();  // FILE is no longer required for what follows
  update->add_flag("--require-signed", u->requireSigned,
                   "Refuse a FILE that the trusted firmware repository does not list, before any "
                   "port is opened");
  AddSourceOptions(*update, u->source);
  update->footer(
      "An update stopped half-way leaves the adapter in download mode, where it does not "
      "identify itself. Line mode (Ruvo03, KTR5575, KTR5577, KTR5578, Ruvo01): run the same "
      "update again with --recover to finish it. Block mode (KTR558, KTR5688): power the "
      "adapter off and on, then run the same update again with --recover.\n"
      "Ctrl-C stops an update at its next step; a hang-up (SIGHUP, a closed console window) "
      "stops it only before the download begins; a closed output pipe never stops it.\n"
      "With FILE, a line says whether the repository lists it: \"verified: ...\" or \"not "
      "verified: this file is in no trusted repository\" (see `firmware list`).\n"
      "--latest says what it picked, downloads the file into the cache, verifies its length and "
      "SHA-256 against the repository's signed metadata and its own model and version against "
      "the listing; an adapter already on the newest build exits 0 with \"already up to date: "
      "...\". A repository that lists only older firmware than the adapter runs may be stale: "
      "that fails.\n"
      "Exit status: 0 updated (or, with --check, the update would go ahead; with --latest, also "
      "already up to date), 1 failed (with --latest also: no build for the model, only older "
      "ones, the repository or the file refused), 2 usage "
      "error (a wrong option or connection string; nothing is sent to any adapter), 3 the "
      "download finished but the adapter does not report the file's version.");
  update->add_flag("--check", u->checkOnly,
                   "Check the file and the adapter (model, versions) and stop before the first "
                   "command that changes the adapter; exit 0 when the update would go ahead");
  update->add_flag("--recover", u->recover,
                   "Finish an interrupted update of this file's model: an adapter that does not "
                   "identify itself (in download mode) is taken to be one, without model and "
                   "version checks");
  update->add_flag("--allow-older", u->allowOlder,
                   "Install a file older than the adapter's firmware, or one whose order against "
                   "it cannot be checked (refused without it)");
  return {update, [u, &global] { return RunUpdate(*u, global); }};
}

Command AddReadCommand(CLI::App& app, const GlobalOptions& global) {
  auto connection = std::make_shared<Connection>();
  auto* read = app.add_subcommand("read", "Show the adapter's device and adapter versions");
  AddConnectionOptions(*read, *connection);
  read->footer(
      "Exit status: 0 read, 1 failed, 2 usage error (a wrong option or connection string; "
      "nothing is sent to any adapter).");
  return {read, [connection, &global] {
            zorbent::cli::JobOptions options = JobOptionsFor(global);
            if (const int misuse = ConnectionsGiven(*connection, options); misuse >= 0)
              return misuse;
            if (!AutoDevicesFound(options.connections, global)) return kExitFailed;
            const zorbent::cli::Tracing tracing(global.trace, global.verbose,
                                                options.connections.size() > 1);
            return zorbent::cli::RunJobs(options);
          }};
}

Command AddInspectCommand(CLI::App& app, const GlobalOptions& global) {
  auto file = std::make_shared<std::string>();
  auto* inspect = app.add_subcommand("inspect", "Check a firmware file and show what it is for");
  inspect->add_option("FILE", *file, "Firmware file")->required();
  return {inspect, [file, &global] {
            return zorbent::cli::ShowFirmwareInfo(*file, stdout, global.Format());
          }};
}

Command AddPortsCommand(CLI::App& app, const GlobalOptions& global) {
  auto all = std::make_shared<bool>(false);
  auto* ports = app.add_subcommand("ports", "List the serial devices an adapter may be on");
  ports->add_flag("--all", *all, "Also list on-board serial ports");
  return {ports,
          [all, &global] { return zorbent::cli::ShowPorts(*all, global.tree, global.Format()); }};
}

Command AddDetectCommand(CLI::App& app, const GlobalOptions& global) {
  auto devices = std::make_shared<std::vector<std::string>>();
  auto* detect = app.add_subcommand(
      "detect",
      "Ask serial devices which adapter answers, with read-only questions at 115200. Probing "
      "opens the device, which may reset a board on it: without DEVICE only the devices of the "
      "USB-serial bridges adapters are built on (FTDI, CH340, CP210x, PL2303) and Bluetooth "
      "serial links are probed, and the others are listed as not probed");
  detect->add_option("DEVICE", *devices,
                     "Devices to probe instead of the listed ones (any serial device)");
  return {detect, [devices, &global] {
            return zorbent::cli::ShowDetected(*devices, global.tree, global.Format());
          }};
}

Command AddHistoryCommand(CLI::App& app, const GlobalOptions& global) {
  auto limit = std::make_shared<std::size_t>(0);
  auto* history = app.add_subcommand(
      "history", "Show the updates and checks made from this computer, newest last");
  history->add_option("--limit", *limit, "Show only the last N entries")
      ->type_name("N")
      ->check(CLI::PositiveNumber);
  history->footer("The history is kept in " + std::string(HistoryPlace()) +
                  " (history.jsonl, one JSON object per line).");
  return {history, [limit, &global] { return zorbent::cli::ShowHistory(*limit, global.Format()); }};
}

Command AddFirmwareCommands(CLI::App& app, const GlobalOptions& global) {
  auto source = std::make_shared<zorbent::cli::SourceOptions>();
  auto* firmware = app.add_subcommand(
      "firmware", "What the maker's firmware repository offers for each adapter model");
  firmware->require_subcommand(1);
  auto* list = firmware->add_subcommand(
      "list",
      "Refresh and verify the repository's metadata, then list its builds per model, newest "
      "first");
  AddSourceOptions(*list, *source);
  firmware->footer(
      "Settings: " + std::string(SettingsPlace()) +
      "\nExit status: 0 listed, 1 the repository refused or not reached, 2 usage error.");
  return {list, [source, &global] { return zorbent::cli::ListFirmware(*source, global.Format()); }};
}

#if ZORBENT_HAVE_DEMO
Command AddDemoCommand(CLI::App& app, const GlobalOptions& global) {
  auto* demo = app.add_subcommand(
      "demo", "Update simulated adapters of both families, as a real update would run");
  return {demo, [&global] {
            if (global.json) return UsageError("demo has no --json output: run it without --json");
            return zorbent::cli::RunDemo(global.quiet);
          }};
}
#endif

// Parses the command line, a command's options given before its name moved after it. The exit
// status when it ends here (help, version, a usage error), or -1 to run the command.
int ParseCommandLine(CLI::App& app, int argc, char** argv) {
  // A mistyped command would otherwise only be told "A subcommand is required".
  std::vector<std::string> words(argv + 1, argv + argc);
  if (!CommandOptionsAfterCommand(app, words)) return kExitUsage;
  std::vector<char*> ordered = {argv[0]};
  for (std::string& word : words) ordered.push_back(word.data());
  try {
    app.parse(static_cast<int>(ordered.size()), ordered.data());
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  zorbent::GuardStandardStreams();  // a reader that quits early must not end an update
  zorbent::ShowUtf8OnConsole();     // the history's arrows
  CLI::App app{"zorbent-fw " ZORBENT_VERSION
               ": firmware updater for OBD-II adapters (ELM327 and QK commands)"};
  GlobalOptions global;
  AddGlobalOptions(app, global);
  std::vector<Command> commands = {
    AddUpdateCommand(app, global),
    AddReadCommand(app, global),
    AddInspectCommand(app, global),
    AddPortsCommand(app, global),
    AddDetectCommand(app, global),
    AddHistoryCommand(app, global),
    AddFirmwareCommands(app, global),
#if ZORBENT_HAVE_DEMO
    AddDemoCommand(app, global),
#endif
  };
  // Each repo command runs from its own callback while the command line is parsed.
  zorbent::cli::AddRepositoryCommands(app);

  if (const int ended = ParseCommandLine(app, argc, argv); ended >= 0) return ended;
  std::string error;
  if (!AddedPortsUsable(global.addedPorts, error)) return UsageError(error);
  global.tree.added = global.addedPorts;
  if (global.trace) zorbent::SetLogLevel(3);
  for (const Command& command : commands)
    if (command.app->parsed() > 0) return command.run();
  return kExitUsage;  // CLI11 requires one command
}
