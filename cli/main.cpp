#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cli/detect.h"
#include "cli/firmware_info.h"
#include "cli/history_command.h"
#include "cli/jobs.h"
#include "cli/json_output.h"
#include "cli/latest_commands.h"
#include "cli/manifest_commands.h"
#include "cli/ports.h"
#include "cli/repository_commands.h"
#include "cli/verbose.h"
#include "firmware/manifest.h"
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
    // A command of commands ("manifest make"): a mistyped second word is named as well.
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
  return "the manifest from --manifest, %ZORBENT_FW_MANIFEST% or a \"manifest = URL\" line in "
         "%LOCALAPPDATA%\\zorbent-fw\\config; trusted keys from --trust and "
         "%LOCALAPPDATA%\\zorbent-fw\\trusted-keys\\*.pub (%ZORBENT_FW_CONFIG_DIR% names another "
         "folder); downloads kept in %LOCALAPPDATA%\\zorbent-fw\\cache (or "
         "%ZORBENT_FW_CACHE_DIR%).";
#else
  return "the manifest from --manifest, $ZORBENT_FW_MANIFEST or a \"manifest = URL\" line in "
         "$XDG_CONFIG_HOME/zorbent-fw/config (~/.config/zorbent-fw/config); trusted keys from "
         "--trust, ~/.config/zorbent-fw/trusted-keys/*.pub and /etc/zorbent-fw/trusted-keys/*.pub "
         "($ZORBENT_FW_CONFIG_DIR names another folder than ~/.config/zorbent-fw); downloads kept "
         "in ~/.cache/zorbent-fw (or $ZORBENT_FW_CACHE_DIR).";
#endif
}

void AddSourceOptions(CLI::App& command, zorbent::cli::SourceOptions& source) {
  command
      .add_option("--manifest", source.manifest,
                  "Signed firmware manifest (https:// URL or a path; its signature is URL.sig) "
                  "instead of the configured one")
      ->type_name("URL|PATH");
  command
      .add_option("--trust", source.trust,
                  "Also trust this public key (PEM) to sign the manifest; repeat it for more")
      ->type_name("KEY.pub")
      ->allow_extra_args(false);  // one key each, so a FILE after it stays the FILE
  command
      .add_option("--ca-file", source.caFile,
                  "Also trust this CA (PEM) for the manifest's https server (a private server)")
      ->type_name("PEM");
}

}  // namespace

int main(int argc, char** argv) {
  zorbent::GuardStandardStreams();  // a reader that quits early must not end an update
  zorbent::ShowUtf8OnConsole();     // the history's arrows
  CLI::App app{"zorbent-fw " ZORBENT_VERSION
               ": firmware updater for OBD-II adapters (ELM327 and QK commands)"};
  app.set_version_flag("--version", "zorbent-fw " ZORBENT_VERSION);
  app.require_subcommand(1);
  app.fallthrough();  // the global options also after the command name
  bool trace = false;
  bool quiet = false;
  app.add_flag("--trace", trace, "Write every byte of adapter traffic to the dated traffic log");
  app.add_flag("-q,--quiet", quiet, "Do not show progress");
  bool verbose = false;
  app.add_flag("-v,--verbose", verbose, "Show the conversation with the adapter on stderr");
  bool json = false;
  app.add_flag("--json", json,
               "Write only JSON Lines to stdout, one object per adapter, port, device, file or "
               "history entry or build (read, update, detect, ports, inspect, history, firmware "
               "list); the messages go to stderr");
  std::vector<std::string> addedPorts;
  app.add_option("--add-port", addedPorts,
                 "Also consider this device in ports, detect and --port auto, besides the ones "
                 "the system lists (e.g. a simulator's link); repeat it for more")
      ->type_name("PATH");

  Connection updateConnection;
  Connection readConnection;
  std::string file;
  std::string inspectFile;
  auto* update = app.add_subcommand(
      "update",
      "Update the adapter's firmware from FILE, or with --latest from the newest build "
      "of a signed manifest");
  AddConnectionOptions(*update, updateConnection);
  auto* fileOption = update->add_option("FILE", file, "Firmware file (none with --latest)");
  // Required unless --latest: a required FILE is what keeps a --connect before it from taking
  // it as a second connection.
  if (std::find_if(argv + 1, argv + argc, [](const char* word) {
        return std::string_view(word) == "--latest";
      }) == argv + argc)
    fileOption->required();
  bool latest = false;
  update->add_flag("--latest", latest,
                   "Instead of FILE: read the adapter, then download, verify and install the "
                   "newest build for its model from the signed manifest (--manifest or the "
                   "settings)");
  bool requireSigned = false;
  update->add_flag("--require-signed", requireSigned,
                   "Refuse a FILE that is in no signed manifest trusted here, before any port is "
                   "opened");
  zorbent::cli::SourceOptions updateSource;
  AddSourceOptions(*update, updateSource);
  update->footer(
      "An update stopped half-way leaves the adapter in download mode, where it does not "
      "identify itself. Line mode (Ruvo03, KTR5575, KTR5577, KTR5578, Ruvo01): run the same "
      "update again with --recover to finish it. Block mode (KTR558, KTR5688): power the "
      "adapter off and on, then run the same update again with --recover.\n"
      "Ctrl-C stops an update at its next step; a hang-up (SIGHUP, a closed console window) "
      "stops it only before the download begins; a closed output pipe never stops it.\n"
      "With FILE, a line says whether it is in a signed manifest: \"verified: ...\" or \"not "
      "verified: this file is in no signed manifest\" (see `firmware list`).\n"
      "--latest says what it picked, downloads the file into the cache and verifies its size "
      "and SHA-256 against the signed manifest; an adapter already on the newest build exits 0 "
      "with \"already up to date: ...\".\n"
      "Exit status: 0 updated (or, with --check, the update would go ahead; with --latest, also "
      "already up to date), 1 failed (with --latest also: no build for the model, a manifest or "
      "file refused), 2 usage "
      "error (a wrong option or connection string; nothing is sent to any adapter), 3 the "
      "download finished but the adapter does not report the file's version.");
  bool checkOnly = false;
  update->add_flag("--check", checkOnly,
                   "Check the file and the adapter (model, versions) and stop before the first "
                   "command that changes the adapter; exit 0 when the update would go ahead");
  bool recover = false;
  update->add_flag("--recover", recover,
                   "Finish an interrupted update of this file's model: an adapter that does not "
                   "identify itself (in download mode) is taken to be one, without model and "
                   "version checks");
  bool allowOlder = false;
  update->add_flag("--allow-older", allowOlder,
                   "Install a file older than the adapter's firmware, or one whose order against "
                   "it cannot be checked (refused without it)");
  auto* read = app.add_subcommand("read", "Show the adapter's device and adapter versions");
  AddConnectionOptions(*read, readConnection);
  read->footer(
      "Exit status: 0 read, 1 failed, 2 usage error (a wrong option or connection string; "
      "nothing is sent to any adapter).");
  auto* inspect = app.add_subcommand("inspect", "Check a firmware file and show what it is for");
  inspect->add_option("FILE", inspectFile, "Firmware file")->required();
  bool allPorts = false;
  auto* ports = app.add_subcommand("ports", "List the serial devices an adapter may be on");
  ports->add_flag("--all", allPorts, "Also list on-board serial ports");
  std::vector<std::string> detectDevices;
  auto* detect = app.add_subcommand(
      "detect",
      "Ask serial devices which adapter answers, with read-only questions at 115200. Probing "
      "opens the device, which may reset a board on it: without DEVICE only the devices of the "
      "USB-serial bridges adapters are built on (FTDI, CH340, CP210x, PL2303) and Bluetooth "
      "serial links are probed, and the others are listed as not probed");
  detect->add_option("DEVICE", detectDevices,
                     "Devices to probe instead of the listed ones (any serial device)");
  std::size_t historyLimit = 0;
  auto* history = app.add_subcommand(
      "history", "Show the updates and checks made from this computer, newest last");
  history->add_option("--limit", historyLimit, "Show only the last N entries")
      ->type_name("N")
      ->check(CLI::PositiveNumber);
  history->footer("The history is kept in " + std::string(HistoryPlace()) +
                  " (history.jsonl, one JSON object per line).");
  auto* firmware = app.add_subcommand(
      "firmware", "What the maker's signed manifest offers for each adapter model");
  firmware->require_subcommand(1);
  zorbent::cli::SourceOptions listSource;
  auto* firmwareList = firmware->add_subcommand(
      "list", "Fetch and verify the manifest, then list its builds per model, newest first");
  AddSourceOptions(*firmwareList, listSource);
  firmware->footer("Settings: " + std::string(SettingsPlace()) +
                   "\nExit status: 0 listed, 1 the manifest refused or not found, 2 usage error.");
#if ZORBENT_HAVE_DEMO
  auto* demo = app.add_subcommand(
      "demo", "Update simulated adapters of both families, as a real update would run");
#endif
  auto* manifest = app.add_subcommand(
      "manifest", "Publish firmware files: make a signed manifest of them, or verify one");
  manifest->require_subcommand(1);
  manifest->footer(
      "Keys are made with openssl: `openssl ecparam -name prime256v1 -genkey -noout -out "
      "key.pem` (private, to sign with) and `openssl ec -in key.pem -pubout -out key.pub` "
      "(public, for checking).\n"
      "Exit status: 0 written or verified, 1 refused or failed (a bad file, key, signature or "
      "manifest; make then writes nothing), 2 usage error.");
  zorbent::cli::ManifestMakeOptions makeOptions;
  makeOptions.product = std::string(zorbent::kManifestProduct);
  auto* manifestMake = manifest->add_subcommand(
      "make",
      "Check every firmware file in DIR (not its subfolders; *.notes.txt, *.sig, *.json and "
      "hidden files are skipped) and write the manifest and its signature (the manifest's name "
      "and .sig). NAME.notes.txt beside NAME.txt becomes that build's release notes");
  manifestMake->add_option("DIR", makeOptions.folder, "Folder of firmware files")->required();
  manifestMake->add_option("--key", makeOptions.key, "Private key to sign with (PEM)")
      ->required()
      ->type_name("KEY.pem");
  manifestMake
      ->add_option("-o,--output", makeOptions.output,
                   "Manifest to write, in DIR or a folder above it")
      ->required()
      ->type_name("FILE.json");
  manifestMake->add_option("--publisher", makeOptions.publisher, "Who publishes the firmware");
  manifestMake->add_option("--product", makeOptions.product,
                           "Product name (default \"" + makeOptions.product + "\")");
  std::string manifestFile;
  std::vector<std::string> trustedKeys;
  auto* manifestVerify = manifest->add_subcommand(
      "verify",
      "Check a manifest's signature (FILE.json.sig beside it) against trusted public keys, its "
      "form, and the size and SHA-256 of each of its files found beside it");
  manifestVerify->add_option("FILE", manifestFile, "Manifest (JSON)")->required();
  manifestVerify
      ->add_option("--trust", trustedKeys,
                   "Public key (PEM) whose signature is trusted; repeat it for more")
      ->required()
      ->type_name("KEY.pub");

  zorbent::cli::AddRepositoryCommands(app);

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
  std::string error;
  if (!AddedPortsUsable(addedPorts, error)) {
    std::fprintf(stderr, "zorbent-fw: %s\nRun with --help for more information.\n", error.c_str());
    return kExitUsage;
  }
  zorbent::DeviceTree tree;
  tree.added = addedPorts;
  if (trace) zorbent::SetLogLevel(3);
  using zorbent::cli::OutputFormat;
  const OutputFormat format = json ? OutputFormat::kJson : OutputFormat::kText;
  if (*inspect) return zorbent::cli::ShowFirmwareInfo(inspectFile, stdout, format);
  if (*ports) return zorbent::cli::ShowPorts(allPorts, tree, format);
  if (*detect) return zorbent::cli::ShowDetected(detectDevices, tree, format);
  if (*history) return zorbent::cli::ShowHistory(historyLimit, format);
#if ZORBENT_HAVE_DEMO
  if (*demo) {
    if (json) {
      std::fprintf(stderr,
                   "zorbent-fw: demo has no --json output: run it without --json\nRun with "
                   "--help for more information.\n");
      return kExitUsage;
    }
    return zorbent::cli::RunDemo(quiet);
  }
#endif
  if (*firmwareList) return zorbent::cli::ListFirmware(listSource, format);
  if (*manifestMake) return zorbent::cli::MakeManifest(makeOptions);
  if (*manifestVerify) return zorbent::cli::VerifyManifest(manifestFile, trustedKeys);

  zorbent::cli::JobOptions options;
  options.quiet = quiet;
  options.update = update->parsed();
  options.checkOnly = checkOnly;
  options.recover = recover;
  options.allowOlder = allowOlder;
  options.firmwareFile = file;
  options.json = json;
  options.keepHistory = true;
  if (!Connections(*update ? updateConnection : readConnection, options.connections, error)) {
    if (!error.empty())
      std::fprintf(stderr, "zorbent-fw: %s\nRun with --help for more information.\n",
                   error.c_str());
    return kExitUsage;
  }
  if (options.update) {
    const char* misuse = latest && !file.empty() ? "update: give either FILE or --latest, not both"
                         : !latest && file.empty() ? "update: give the firmware FILE, or --latest"
                         : latest && options.connections.size() > 1
                             ? "update --latest works on one adapter at a time: give one --port, "
                               "--wifi or --connect"
                         : latest && (recover || requireSigned)
                             ? "update --latest takes neither --recover nor --require-signed: "
                               "finish an interrupted update with its FILE and --recover"
                             : nullptr;
    if (misuse != nullptr) {
      std::fprintf(stderr, "zorbent-fw: %s\nRun with --help for more information.\n", misuse);
      return kExitUsage;
    }
  }
  // The file is read here, once: the manifest look-up, the probe's decision, the jobs and the
  // history all use these bytes, so a file replaced meanwhile is never what is sent.
  if (options.update && !latest) options.firmware = zorbent::cli::ReadFirmware(file);
  zorbent::cli::LatestPlan plan;
  if (latest) {
    // The manifest first: a refused one never reaches a device.
    if (const int refused = zorbent::cli::PrepareLatest(updateSource, options, plan); refused >= 0)
      return refused;
  } else if (options.update &&
             !zorbent::cli::NoteFileSignature(updateSource, requireSigned, options)) {
    return kExitFailed;
  }
  // "auto" as the device: the one adapter that detect finds. Probing opens devices, so an
  // update probes only with a usable file; with a bad one RunJobs refuses before any device.
  const bool mayProbe = !options.update || latest || options.firmware->usable;
  for (std::string& connection : options.connections) {
    if (!connection.starts_with("com|auto:") || !mayProbe) continue;
    std::string device;
    std::FILE* const text = json ? stderr : stdout;  // stdout carries JSON alone
    if (!zorbent::cli::AutoDevice(device, error, tree, text)) {
      std::fprintf(text, "**Failed** %s", error.c_str());
      return kExitFailed;
    }
    connection = "com|" + device + connection.substr(8);
  }
  const zorbent::cli::Tracing tracing(trace, verbose, options.connections.size() > 1);
  if (latest) return zorbent::cli::RunLatest(plan, options);
  return zorbent::cli::RunJobs(options);
}
