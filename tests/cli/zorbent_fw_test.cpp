// zorbent-fw as a user runs it, against simulated adapters served by this process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "cli/detect.h"
#include "cli/jobs.h"
#include "cli/ports.h"
#include "engine/device_table.h"
#include "firmware/history.h"
#include "firmware/tuf/words.h"
#include "platform/digest.h"
#include "platform/thread.h"
#include "sim/image/image_builder.h"
#include "tests/support/child_process.h"
#include "tests/support/sim_adapter.h"
#include "tests/support/test_repository.h"
#include "tests/support/thread_starts.h"
#include "zorbent_version.h"

namespace zorbent::cli_test {
namespace {

using test::AdapterModel;
using test::NewerImage;
using test::RunningAdapter;

struct ProgramResult {
  int exitCode = -1;  // -1 when it did not exit normally (a crash)
  std::string out, err;
  std::string both() const { return out + err; }
};

std::string ReadFileText(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Output goes to files (or stdoutFd/stderrFd), never a pipe a chatty child could fill up.
// As root, asNobody runs it as nobody, for whom permissions count.
ProgramResult RunProgram(const std::vector<std::string>& args, const std::string& workDir = "",
                         rlim_t hardFileLimit = 0, int stdoutFd = -1, int stderrFd = -1,
                         const std::function<void(pid_t)>& meanwhile = {}, bool asNobody = false) {
  ProgramResult result;
  char outPath[] = "/tmp/zorbent-cli-out-XXXXXX";
  char errPath[] = "/tmp/zorbent-cli-err-XXXXXX";
  const int outFd = mkstemp(outPath);
  const int errFd = mkstemp(errPath);
  if (outFd < 0 || errFd < 0) return result;
  const pid_t child = fork();
  if (child == 0) {
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    if (stdoutFd >= 0) dup2(stdoutFd, STDOUT_FILENO);
    if (stderrFd >= 0) dup2(stderrFd, STDERR_FILENO);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) dup2(devNull, STDIN_FILENO);
    constexpr uid_t kNobody = 65534;
    if (asNobody && geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(124);
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
    const struct rlimit limit { 64, hardFileLimit };
    if (hardFileLimit > 0 && setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(125);
    std::vector<std::string> copies = args;
    std::vector<char*> argv = {const_cast<char*>(ZORBENT_FW_PATH)};
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(outFd);
  close(errFd);
  if (child > 0 && meanwhile) meanwhile(child);
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  result.out = ReadFileText(outPath);
  result.err = ReadFileText(errPath);
  unlink(outPath);
  unlink(errPath);
  return result;
}

// A private temporary directory, removed with what was written into it.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/zorbent-cli-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string Write(const std::string& name, const std::string& content) const {
    const std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }

 private:
  std::string path_;
};

// The program keeps its history in a folder of the test's, never the user's.
class HistoryFolder {
 public:
  // The firmware cache and settings too: no user's repository or root changes what a test sees.
  HistoryFolder() {
    setenv("ZORBENT_FW_DATA_DIR", (dir_.path() + "/data").c_str(), 1);
    setenv("ZORBENT_FW_CACHE_DIR", (dir_.path() + "/cache").c_str(), 1);
    setenv("ZORBENT_FW_CONFIG_DIR", (dir_.path() + "/config").c_str(), 1);
    unsetenv("ZORBENT_FW_REPOSITORY");
  }
  std::string File() const { return dir_.path() + "/data/history.jsonl"; }

 private:
  TempDir dir_;
};
const HistoryFolder kHistory;

// Each line of out as a JSON object; a line that is none fails the test.
std::vector<nlohmann::json> JsonLines(const std::string& out) {
  std::vector<nlohmann::json> objects;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    objects.push_back(nlohmann::json::parse(line, nullptr, false));
    EXPECT_TRUE(objects.back().is_object()) << line;
  }
  return objects;
}

// Runs the program and checks its exit status and that each text is in what it printed.
ProgramResult Expect(const std::vector<std::string>& args, int exitCode,
                     const std::vector<std::string>& texts, const std::string& workDir = "") {
  const ProgramResult r = RunProgram(args, workDir);
  EXPECT_EQ(r.exitCode, exitCode) << r.both();
  for (const std::string& text : texts)
    EXPECT_NE(r.both().find(text), std::string::npos) << text << "\n" << r.both();
  return r;
}

// The two lines a connection string the parser refuses gets.
std::vector<std::string> ParameterError(const std::string& connection) {
  return {"**Failed** Port parameter error!\n",
          "Expected com|DEVICE:BAUD (a serial adapter, e.g. com|/dev/ttyUSB0:115200) or "
          "tcp|HOST:PORT (a WiFi adapter, e.g. tcp|192.168.0.10:35000), not \"" +
              connection + "\".\n"};
}

// Misuse exits with 2 and says why before any adapter is touched; help and version succeed.
TEST(Usage, EachCommandLineEndsAsItShould) {
  TempDir dir;
  const std::string list =
      dir.Write("tray.txt", "# tray\ncom|ttyUSB0:115200\ncom|ttyUSB1:9600x  # bench 2\n");
  // One adapter twice: through a link to the device, and by host name in another case.
  std::filesystem::create_symlink("/dev/null", dir.path() + "/link");
  const std::string twice =
      dir.Write("twice.txt", "com|/dev/null:115200 #a\n\ncom|" + dir.path() + "/link:9600\n");
  const std::string added = dir.path() + "/none";
  const std::tuple<std::vector<std::string>, int, std::vector<std::string>> cases[] = {
      {{"update", "--connect-file", list, "no-such-fw.txt"},
       2,
       ParameterError("com|ttyUSB1:9600x")},
      {{"read", "--port", "/dev/ttyUSB0:1"}, 2, {"--port: \"/dev/ttyUSB0:1\" cannot be given"}},
      {{"firmware", "frob"},
       2,
       {"unknown command \"firmware frob\": the firmware commands are list"}},
      {{"read"}, 2, {"no adapter given"}},
      {{"update", "fw.txt"}, 2, {"no adapter given"}},
      {{"read", "--wifi", ":35000"}, 2, {"no host given"}},
      {{"read", "--bogus"}, 2, {"--bogus"}},
      {{"-q", "--trace", "raed"}, 2, {"unknown command \"raed\""}},
      {{"--baud", "9600", "raed"}, 2, {"unknown command \"raed\""}},
      {{}, 2, {"subcommand"}},
      {{"update", "--port", "/dev/null"}, 2, {"FILE"}},
      {{"update", "--latest", "--connect", "com|/dev/null:9600", "--wifi", "h"},
       2,
       {"update --latest works on one adapter at a time"}},
      {{"update", "--latest", "--recover", "--port", "/dev/null"}, 2, {"takes neither --recover"}},
      {{"firmware", "lsit"},
       2,
       {"unknown command \"firmware lsit\": the firmware commands are list"}},
      {{"inspect"}, 2, {"FILE"}},
      {{"read", "--baud", "9600"}, 2, {"--port"}},
      {{"read", "--port", "/dev/null", "--baud", "0"}, 2, {"--baud"}},
      {{"--port", "/dev/null", "--baud", "0", "read"}, 2, {"--baud"}},  // options before it
      {{"-q", "--baud", "9600", "read", "--port", "/dev/zorbent-none"}, 1, {"/dev/zorbent-none"}},
      {{"update", "--connect-file", twice, "fw.txt"},
       2,
       {twice + " line 1 (\"com|/dev/null:115200\") and " + twice + " line 3 (\"com|" + dir.path() +
        "/link:9600\") name the same adapter, /dev/null: give each adapter once"}},
      {{"read", "--connect", "tcp|OBD.local:35000", "--wifi", "obd.local"},
       2,
       {"--connect (\"tcp|OBD.local:35000\") and --wifi (\"tcp|obd.local:35000\") name the same "
        "adapter, obd.local:35000"}},
      {{"--add-port", added, "ports"}, 2, {"zorbent-fw: --add-port: " + added + " does not exist"}},
      {{"detect", "--add-port", added}, 2, {"--add-port: " + added + " does not exist"}},
      {{"--help"}, 0, {"update", "read", "inspect", "zorbent-fw " ZORBENT_VERSION}},
      {{"update", "--help"},
       0,
       {"Line mode (Ruvo03, KTR5575, KTR5577, KTR5578, Ruvo01): run the same",
        "power the adapter off and on, then run the same update again",
        "a closed output pipe never stops it"}}};
  for (const auto& [args, exitCode, texts] : cases) Expect(args, exitCode, texts);
  // Pieces after the rate or port, which the engine would pass over, are refused too.
  for (const std::string c : {"com|/dev/ttyUSB0:0", "com|/dev/ttyUSB0:abc", "com|:115200",
                              "tcp|10.0.0.1", "tcp|10.0.0.1:65536", "tcp|10.0.0.1:35000:80",
                              "com|/dev/null:115200:9600|tcp|junk", "com|/dev/null:115200|"})
    Expect({"read", "--connect", c}, 2, ParameterError(c));
  for (const std::string port : {"65536", "0", "35k", ""})
    Expect({"read", "--wifi", "10.0.0.1:" + port}, 2, {"is not a TCP port"});
  // --version alone or before any command is not a usage error.
  for (const auto& args : {std::vector<std::string>{"--version"}, {"-q", "--version"}})
    EXPECT_EQ(Expect(args, 0, {}).out, "zorbent-fw " ZORBENT_VERSION "\n");
}

// What inspect shows of a line-mode file and of a block-mode one, named as detect names them.
TEST(Inspect, ShowsWhatTheFileIsFor) {
  TempDir dir;
  for (const auto& [model, name, version, adapter] :
       {std::tuple<int, const char*, const char*, const char*>{
            1, "KTR5575", "V2.2.3X (number 2239)",
            "KTR5575 (the adapter answers \"Z_Orbe01...\" to QKI)"},
        {6, "zOrbent FS BT v2.2", "2.2",
         "KTR5688 (the adapter answers \"KTR568...\" to QKVERS)"}}) {
    SCOPED_TRACE(model);
    const sim::BuiltImage image = NewerImage(model, 9);
    const std::string path = dir.Write("fw.txt", image.text);
    const ProgramResult r = Expect(
        {"inspect", path}, 0,
        {"file:         " + path + "\n", "product ID:   OBDZ-1000\n",
         "device name:  " + std::string(name) + "\n",
         std::string("family:       ") + (model < 5 ? "line mode" : "block mode"),
         "records:      10 (trailer included)\n",
         "size:         " + std::to_string(image.text.size()) + " bytes\n",
         "for adapter:  " + std::string(adapter) + "\n", "version:      " + std::string(version)});
  }
  // Five lines with the trailer: inspect, update and its check say the same of them.
  const std::string odd = dir.Write("odd.txt", sim::BuildLineImage({.records = 4}).text);
  const std::string note =
      "5 lines: the last line has no partner and is not sent; the download is closed with the "
      "end record";
  Expect({"inspect", odd}, 0, {"\nnote:         " + note + "\n"});
  for (const bool check : {true, false}) {
    std::vector<std::string> args = {"update", "--port", "/dev/zorbent-none", odd};
    if (check) args.insert(args.begin() + 1, "--check");
    Expect(args, 1, {"Note: " + odd + " has " + note + ".\n"});
  }
}

// Unusable files: inspect says why in one line, update the same before any port is opened.
TEST(Inspect, RefusedFilesSayWhyAndNeverReachAnAdapter) {
  TempDir dir;
  const std::string none = "\", which is none of the adapter models this program updates";
  // Larger than any firmware, refused unread (sparse: no disk).
  const std::string huge = dir.Write("huge.txt", "");
  std::filesystem::resize_file(huge, 200u * 1024 * 1024);
  const sim::BlockImageOptions otherBlock{.deviceName = "Other FS v1"};
  const std::string otherB = dir.Write("b", sim::BuildBlockImage(otherBlock).text),
                    otherL = dir.Write("l", sim::BuildLineImage({.deviceName = "KTR9999"}).text),
                    empty = dir.Write("empty.txt", ""), missing = dir.path() + "/none.txt",
                    small = dir.Write("short.txt", std::string(137, '0')),
                    two = dir.Write("two", NewerImage(2).text + NewerImage(2).text),
                    binary = dir.Write("fw.bin", std::string(300, '\xC3')),
                    unnamed =
                        dir.Write("u", sim::BuildBlockImage({.deviceName = "zOrbent FS"}).text),
                    fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);           // never opened: that would wait for a writer
  std::string letter = sim::BuildLineImage({}).text;  // an "O" typed for a 0 on line 2
  letter[letter.find('0', 138)] = 'O';
  const std::string withO = dir.Write("o", letter), invalid = " is not a valid firmware file: ";
  const std::pair<std::string, std::string> cases[] = {
      {otherB, otherB + " is for device \"Other FS v1" + none +
                   "; files carry one of: zOrbent "
                   "FS v..., zOrbent FS BT v..."},
      {binary, binary + " is not a valid firmware file: line 1: not a text firmware file"},
      {withO, withO + invalid + "line 2: \"O\" in column"},
      {unnamed, unnamed + invalid + "line 17: the trailer's device name \"zOrbent FS\" holds no"},
      {otherL, otherL + " is for device \"KTR9999" + none},
      {missing, "cannot read " + missing + ": No such file or directory"},
      {two, two + " is not a valid firmware file: line 11: text after the trailer record"},
      {dir.path(), dir.path() + " is a directory: give the firmware file itself"},
      {fifo, fifo + " is a pipe, not a file: save the firmware to a file and give that file's "
                    "path"},
      {empty, empty + " is empty: it is not a firmware file"},
      // One byte short of the smallest file that can hold a record and a trailer.
      {small, small + " is too short (137 bytes) to hold"},
      {huge, huge + " is larger than any adapter firmware (more than 16 MiB)"}};
  for (const auto& [path, why] : cases) {
    SCOPED_TRACE(path);
    const ProgramResult inspect = Expect({"inspect", path}, 1, {});
    EXPECT_EQ(inspect.both().rfind("**Failed** " + why, 0), 0u) << inspect.both();
    EXPECT_EQ(inspect.both().find('\n'), inspect.both().size() - 1) << inspect.both();
    // --port auto would open devices to find the adapter: not for a file that cannot be sent.
    for (const char* device : {"/dev/zorbent-none", "auto"}) {
      EXPECT_EQ(Expect({"update", "--port", device, path}, 1, {}).both(),
                inspect.both() +
                    "Update failed: the firmware file is not usable. Nothing was sent to any "
                    "adapter.\n");
    }
  }
}

using Adjust = void (*)(sim::SimulatorOptions&);
void Clone(sim::SimulatorOptions& o) {
  o.adapter.model = sim::kGenericModel;
  o.adapter.banner = "OBDII v1.5";
}
void None(sim::SimulatorOptions&) {}
void NoVersion(sim::SimulatorOptions& o) {
  o.adapter.qkversText = "KTR558";
}
void Newer(sim::SimulatorOptions& o) {
  o.adapter.deviceVersion = "2.3.00";
}

// Verdicts name the model and versions; a --check changes nothing; a failure says what to do
// (again, power-cycle, --recover, --allow-older); an unconfirmed version exits 3.
TEST(Update, VerdictsSayWhatToDoAndClaimNoMoreThanWasSeen) {
  TempDir dir;
  const std::string line = dir.Write("fw.txt", NewerImage(2).text),
                    block = dir.Write("b.txt", NewerImage(5).text);
  const std::tuple<int, Adjust, std::string, int, std::string> cases[] = {
      {2, None, "--check", 0,
       "Check passed: KTR5577 (zOrbent BM) v2.2.2X would be updated to v2.2.3X"},
      {2, None, "", 0, "Update succeeded: KTR5577 (zOrbent BM) v2.2.2X -> v2.2.3X in "},
      {2, Newer, "--check", 1,
       "Check failed: The file holds v2.2.3X, older than the adapter's firmware v2.3.00"},
      {2, [](sim::SimulatorOptions& o) { o.faults.repPack[3] = 100; }, "", 1,
       "Update failed: Sending error on 2 line. The adapter is in download mode: it has no working "
       "firmware until an update finishes. To finish the update: power the adapter off and on, "
       "then run the same update again with --recover."},
      {5, [](sim::SimulatorOptions& o) { o.faults.err02[2] = 1; }, "", 1,
       "Update failed: File is Invalid. The adapter is in download mode: it has no working "
       "firmware until an update finishes. Update it with a file for KTR558 and --recover."},
      {2, Clone, "", 1,
       "Update failed: the adapter did not identify itself. Nothing was sent that changes the "
       "adapter. If it is a KTR5577 left in download mode by an interrupted update, finish that "
       "update with --recover."},
      {2, Newer, "", 1, "To install the older file anyway, add --allow-older."},
      {5, [](sim::SimulatorOptions& o) { o.link.slowAnswers["QKDLKTR558"] = 2500; }, "", 1,
       "Update failed: Please power on the device again. The adapter did not answer QKDLKTR558, "
       "so it may be in download mode. To find out, run `zorbent-fw read`: it tells."},
      {2, [](sim::SimulatorOptions& o) { o.adapter.startInDownloadMode = true; }, "--check", 1,
       "finish that update with `zorbent-fw update` without --check and with --recover."},
      {5, [](sim::SimulatorOptions& o) { o.adapter.model = 6; }, "", 1,
       "Nothing was sent that changes the adapter. Use a file for KTR5688 (`zorbent-fw inspect "
       "FILE` tells which adapter a file is for)."},
      {2, Newer, "--check --allow-older", 0, "would be downgraded to v2.2.3X"},
      {5, NoVersion, "", 1, "To install the file anyway, add --allow-older."},
      {5, NoVersion, "--check --allow-older", 0,
       "an unknown version would be updated to v2.2, but the order of the versions could not "
       "be checked."},
      {5, [](sim::SimulatorOptions& o) { o.adapter.flashedVersion = "2.1.9"; }, "", 3,
       "Update not confirmed: the adapter reports v2.1.9 (file v2.2); check with `zorbent-fw "
       "read`."}};
  for (const auto& [model, adjust, flags, exitCode, text] : cases) {
    sim::SimulatorOptions options = AdapterModel(model);
    adjust(options);
    RunningAdapter adapter(options);
    std::vector<std::string> args = {"-q", "update"};
    std::istringstream words(flags);
    for (std::string word; words >> word;) args.push_back(word);
    args.insert(args.end(), {"--connect", adapter.Config(), model == 5 ? block : line});
    Expect(args, exitCode, {text});
    if (!flags.empty()) {
      EXPECT_EQ(adapter->Flashes(), 0);
      EXPECT_EQ(adapter->InDownloadMode(), options.adapter.startInDownloadMode);
    }
  }
  // A read of an adapter left in download mode names the way out, which finishes the update.
  sim::SimulatorOptions cut = AdapterModel(5);
  cut.adapter.startInDownloadMode = true;
  RunningAdapter left(cut);
  Expect({"-q", "read", "--connect", left.Config()}, 1,
         {"Read failed: the adapter did not identify itself. Nothing was sent that changes the "
          "adapter. If an interrupted update left it in download mode, power it off and on if it "
          "is a block-mode adapter (KTR558, KTR5688), then run `zorbent-fw update FILE "
          "--recover` with the firmware file that was being installed."});
  Expect({"-q", "update", "--recover", "--connect", left.Config(), block}, 0, {"Update succeeded"});
  // Another rate than the adapter's garbles its answers: said so, with the rate to use.
  RunningAdapter adapter(AdapterModel(2));
  const std::string config = adapter.Config();
  const std::string device = config.substr(4, config.rfind(':') - 4);
  Expect({"-q", "update", "--port", device, "--baud", "38400", line}, 1,
         {"Update failed: the adapter answered with bytes that are not text. Nothing was sent that "
          "changes the adapter. A wrong rate gives that: the adapters answer at 115200 baud "
          "(--baud 115200)."});
}

// Eight adapters at once, two of which fail: the others finish, each row says how it ended.
TEST(Update, ParallelAdaptersFinishBesideFailingOnes) {
  constexpr int kAdapters = 8;
  TempDir dir;
  std::vector<std::string> args = {"--quiet", "update", dir.Write("fw.txt", NewerImage(1).text)};
  std::vector<std::unique_ptr<RunningAdapter>> adapters;
  for (int i = 0; i < kAdapters; ++i) {
    sim::SimulatorOptions options = AdapterModel(1);
    options.link.silent = i == 0;
    if (i == 5) options.adapter.productId = "OBDZ-2000";
    adapters.push_back(std::make_unique<RunningAdapter>(options));
    args.insert(args.end(), {"--connect", adapters.back()->Config()});
  }
  const ProgramResult result = Expect(args, 1, {"8 adapters: 6 succeeded, 2 failed"});
  for (int i = 0; i < kAdapters; ++i) {
    RunningAdapter& adapter = *adapters[static_cast<std::size_t>(i)];
    std::string row;  // the summary line that starts with its connection
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind(adapter.Config() + " ", 0) == 0) row = line;
    adapter->Stop();
    SCOPED_TRACE("adapter " + std::to_string(i) + ": " + row);
    ASSERT_FALSE(row.empty()) << result.both();
    const bool failed = i == 0 || i == 5;
    for (const char* want :
         {failed ? "FAILED" : " ok ", i == 0   ? "the adapter did not answer (unchanged)"
                                      : i == 5 ? "does not match the device model (unchanged)"
                                               : "KTR5575 (zOrbent MC) v2.2.2X -> v2.2.3X"})
      EXPECT_NE(row.find(want), std::string::npos) << want;
    EXPECT_EQ(adapter->Flashes(), failed ? 0 : 1);
    EXPECT_EQ(adapter->Records().empty(), failed);
  }
}

// A job refused its thread fails alone, untouched; the others update and the run ends with 1.
TEST(Update, AJobWithoutAThreadFailsAloneAndIsNamed) {
  TempDir dir;
  cli::JobOptions options;
  options.update = options.quiet = true;
  options.firmwareFile = dir.Write("fw.txt", NewerImage(1).text);
  std::vector<std::unique_ptr<RunningAdapter>> adapters;
  for (int i = 0; i < 3; ++i) {
    adapters.push_back(std::make_unique<RunningAdapter>(AdapterModel(1)));
    options.connections.push_back(adapters.back()->Config());
  }
  FailThreadStartForTesting(3);  // the run's first thread is its interrupt watcher's
  ::testing::internal::CaptureStdout();
  const int status = cli::RunJobs(options);
  const std::string out = ::testing::internal::GetCapturedStdout();
  FailThreadStartForTesting(0);
  EXPECT_EQ(status, 1) << out;
  const std::string& refused = options.connections[1];
  for (const std::string& line :
       {refused + ": **Failed** could not start: the system refused a new thread.",
        refused + ": Update failed: could not start. Nothing was sent to the adapter.",
        std::string("FAILED      could not start (not reached)"),
        std::string("3 adapters: 2 succeeded, 1 failed")})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    (*adapters[i])->Stop();
    EXPECT_EQ((*adapters[i])->Flashes(), i == 1 ? 0 : 1) << i;
    EXPECT_EQ((*adapters[i])->Records().empty(), i == 1) << i;
  }
}

// Each adapter probed read-only: only identification commands reach it.
TEST(Detect, NamesEachAdapterAndChangesNone) {
  std::vector<std::unique_ptr<RunningAdapter>> adapters;
  const auto add = [&](int model, bool silent = false) {
    sim::SimulatorOptions options = AdapterModel(2);
    options.adapter.model = model;
    options.link.silent = silent;
    adapters.push_back(std::make_unique<RunningAdapter>(options));
    return adapters.back()->Device();
  };
  const std::string ours1 = add(2), ours2 = add(6), generic = add(sim::kGenericModel),
                    silent = add(2, true);
  const ProgramResult r =
      Expect({"detect", ours1, ours2, generic, silent, "/dev/zorbent-none"}, 0, {});
  for (const auto& [device, says] :
       {std::pair{ours1, "KTR5577: \"zOrbent BM v"},
        {ours2, "KTR5688: "},
        {generic, "an ELM327-compatible adapter, not one of ours (\"ELM327 v1.5\")"},
        {silent, "no answer at 115200"},
        {std::string("/dev/zorbent-none"), "cannot open: "}}) {
    const std::size_t at = r.out.find(device);
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_NE(r.out.find(says, at), std::string::npos) << says << "\n" << r.out;
  }
  for (const auto& adapter : adapters)
    for (const sim::TranscriptEntry& entry : (*adapter)->Transcript())
      EXPECT_TRUE(entry.command == "QKVERS\r" || entry.command == "QKI\r" ||
                  entry.command == "ATI\r")
          << entry.command;
  Expect({"detect", generic, silent}, 1, {});
}

// Unnamed, only adapter bridges are opened (opening resets many boards); others until named.
TEST(Detect, OpensOnlyAdapterBridgesUnlessNamed) {
  namespace fs = std::filesystem;
  TempDir root;
  const fs::path at = root.path();
  const DeviceTree tree{(at / "tty").string(), (at / "dev").string(), (at / "proc").string(), {}};
  fs::create_directories(at / "dev");
  fs::create_directories(at / "proc");
  // A tty entry whose USB device has these IDs, its /dev name leading to the adapter.
  const auto add = [&](const std::string& name, const char* vid, const char* pid,
                       RunningAdapter& adapter) {
    const fs::path usb = at / "usb" / name;
    fs::create_directories(usb / "1-1:1.0");
    std::ofstream(usb / "idVendor") << vid << "\n";
    std::ofstream(usb / "idProduct") << pid << "\n";
    fs::create_directories(at / "tty" / name);
    fs::create_directory_symlink(usb / "1-1:1.0", at / "tty" / name / "device");
    fs::create_symlink(adapter.Device(), at / "dev" / name);
    return (at / "dev" / name).string();
  };
  RunningAdapter bridge(AdapterModel(2)), board(AdapterModel(2));
  const std::string bridgePath = add("ttyUSB0", "1a86", "7523", bridge),
                    boardPath = add("ttyACM0", "2c99", "0002", board);
  const auto rows = [](const std::vector<cli::DetectedDevice>& found) {
    std::vector<std::string> lines;
    for (const cli::DetectedDevice& d : found) lines.push_back(d.name + " " + d.line);
    return lines;
  };
  const std::vector<std::string> unnamed = rows(cli::DetectAdapters({}, tree));
  ASSERT_EQ(unnamed.size(), 2u);
  EXPECT_EQ(unnamed[0].rfind(bridgePath + " KTR5577: ", 0), 0u) << unnamed[0];
  EXPECT_EQ(unnamed[1], boardPath + " not probed: name it to probe it");
  EXPECT_TRUE(board->Transcript().empty());
  const std::vector<std::string> named = rows(cli::DetectAdapters({boardPath}, tree));
  ASSERT_EQ(named.size(), 1u);
  EXPECT_EQ(named[0].rfind(boardPath + " KTR5577: ", 0), 0u) << named[0];
  // An added device is probed whatever it is, after the listed ones.
  RunningAdapter sim(AdapterModel(6));
  fs::create_symlink(sim.Device(), at / "sim");
  DeviceTree withSim = tree;
  withSim.added = {(at / "sim").string()};
  const std::vector<std::string> all = rows(cli::DetectAdapters({}, withSim));
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[2].rfind((at / "sim").string() + " KTR5688: ", 0), 0u) << all[2];
  // ports shows it as added, before or after the command, and probes nothing.
  const std::size_t probed = sim->Transcript().size();
  for (const bool before : {true, false}) {
    std::vector<std::string> args = {"ports"};
    args.insert(before ? args.begin() : args.end(), {"--add-port", (at / "sim").string()});
    Expect(args, 0, {(at / "sim").string() + "  added with --add-port, you may open it\n"});
  }
  EXPECT_EQ(sim->Transcript().size(), probed);
}

// Devices the user may not open for want of a group: one line says which to join.
TEST(Ports, OneLineSaysWhichGroupsToJoin) {
  std::vector<SerialPortInfo> ports(4);
  for (std::size_t i = 0; i < ports.size(); ++i) {
    ports[i].path = "/dev/ttyUSB" + std::to_string(i);
    ports[i].kind = PortKindOfDevice::kUsb;
    ports[i].group = i == 2 ? "uucp" : "dialout";
    ports[i].mayOpen = false;
    ports[i].accessReason = "needs group " + ports[i].group;
  }
  ports[3] = SerialPortInfo{};
  ports[3].path = "/dev/ttyS0";
  ports[3].driver = "serial";
  ports[3].console = true;
  EXPECT_EQ(cli::FormatPorts(ports, true),
            "/dev/ttyUSB0  USB, no access: needs group dialout\n"
            "/dev/ttyUSB1  USB, no access: needs group dialout\n"
            "/dev/ttyUSB2  USB, no access: needs group uucp\n"
            "/dev/ttyS0  on-board, driver serial, the system console: not offered for adapters, "
            "you may open it\n"
            "To get access, join the groups dialout and uucp: `sudo usermod -aG dialout,uucp "
            "$USER`, then log out and in again.\n");
  ports.resize(1);
  EXPECT_NE(cli::FormatPorts(ports, false)
                .find("\nTo get access, join the group dialout: `sudo usermod -aG dialout $USER`"),
            std::string::npos);
}

// --trace -v: a WiFi read is in the named traffic log and shown on stderr.
TEST(Trace, TcpConnectionIsLoggedNamedAndShownReadably) {
  RunningAdapter adapter(AdapterModel(1, true));
  const std::string connection = adapter.Config();
  TempDir dir;
  const ProgramResult run =
      Expect({"--trace", "-v", "read", "--connect", connection}, 0,
             {"opened " + connection, "-> \"QKVERS\\r\"", "<- \"QKVERS\\r", "closed " + connection},
             dir.path());
  const std::string marker = "Traffic log written to ";
  const auto at = run.err.find(marker);
  ASSERT_NE(at, std::string::npos) << run.err;
  const std::string file =
      run.err.substr(at + marker.size(), run.err.find('\n', at) - at - marker.size());
  EXPECT_EQ(file.rfind("DorezavarIrivirlog/port", 0), 0u) << file;
  const std::string log = ReadFileText(dir.path() + "/" + file);
  EXPECT_NE(log.find(connection.substr(4) + " Is Opened!"), std::string::npos) << log;
  EXPECT_NE(log.find("514B564552530D"), std::string::npos) << log;  // "QKVERS\r"

  // A log that cannot be written is warned about, and not named.
  TempDir other;
  other.Write("DorezavarIrivirlog", "a file where the log directory should be");
  const ProgramResult bad = Expect({"--trace", "read", "--connect", "com|/dev/null:115200"}, 1,
                                   {"zorbent-fw: warning: could not write the traffic log "
                                    "DorezavarIrivirlog/port"},
                                   other.path());
  EXPECT_EQ(bad.err.find("Traffic log written"), std::string::npos) << bad.err;
  // A folder that cannot be made: its reason, not the file's "No such file or directory".
  ASSERT_EQ(chmod(other.path().c_str(), 0555), 0);
  std::filesystem::remove(other.path() + "/DorezavarIrivirlog");
  const ProgramResult denied = RunProgram({"--trace", "read", "--connect", "com|/dev/null:115200"},
                                          other.path(), 0, -1, -1, {}, true);
  EXPECT_NE(denied.err.find("could not write the traffic log DorezavarIrivirlog/port"),
            std::string::npos)
      << denied.err;
  EXPECT_NE(denied.err.find(": cannot make the folder DorezavarIrivirlog: " +
                            std::string(std::strerror(EACCES)) + "\n"),
            std::string::npos)
      << denied.err;
}

// A tray needs open files: the soft limit is raised quietly, a low hard one named with a fix.
TEST(OpenFiles, ALowSoftLimitIsRaisedQuietlyAndAHardOneNamedWithWhatToDo) {
  TempDir dir;
  std::vector<std::string> args = {"update", "--quiet"};
  for (int i = 0; i < 20; ++i)  // about 144 open files
    args.insert(args.end(),
                {"--connect", "com|/dev/zorbent-none-" + std::to_string(i) + ":115200"});
  args.push_back(dir.Write("fw.txt", NewerImage(2).text));
  const std::string warning =
      "Warning: 20 adapters need about 144 open files, but this system allows this program 128: "
      "some adapters may fail to open. Raise the limit (ulimit -n 144)";
  // 128: short of what is asked, yet enough for the sanitizers' own descriptors.
  for (const rlim_t hard : {rlim_t{4096}, rlim_t{128}}) {
    const ProgramResult r = RunProgram(args, "", hard);
    EXPECT_EQ(r.exitCode, 1) << r.both();  // no such devices
    EXPECT_EQ(r.out.find(warning) != std::string::npos, hard == 128) << r.out;
    EXPECT_NE(r.out.find("20 adapters: 0 succeeded, 20 failed"), std::string::npos) << r.out;
  }
}

// Closed output pipes (stdout after one byte, stderr at once) never end an update.
TEST(Signals, AClosedOutputPipeNeverEndsAnUpdate) {
  TempDir dir;
  const sim::BuiltImage image = NewerImage(2, 41);
  RunningAdapter adapter(AdapterModel(2));
  int out[2], err[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
  close(err[0]);
  const ProgramResult r =
      RunProgram({"-v", "update", "--connect", adapter.Config(), dir.Write("fw.txt", image.text)},
                 "", 0, out[1], err[1], [&](pid_t) {
                   close(out[1]);
                   close(err[1]);
                   char first = 0;
                   EXPECT_EQ(read(out[0], &first, 1), 1);
                   close(out[0]);
                 });
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(adapter->Flashes(), 1);
  EXPECT_TRUE(sim::RecordsMatchImage(adapter->Records(), image, false));
}

// SIGHUP stops an update before its download, never during one; SIGTERM stops either.
TEST(Signals, AHangUpStopsAnUpdateOnlyBeforeItsDownload) {
  TempDir dir;
  const sim::BuiltImage image = NewerImage(2);
  const std::string file = dir.Write("fw.txt", image.text);
  // The slow command the signal comes during: in identification, or the third record.
  const std::string identifying = "QKPROI", downloading = "QKBL" + image.lines[2].substr(2);
  const std::tuple<std::vector<std::string>, int, int> cases[] = {
      {{downloading}, SIGHUP, 0},
      {{identifying, downloading}, SIGHUP, 1},
      {{downloading}, SIGTERM, 1}};
  for (const auto& [slowCommands, signo, exitCode] : cases) {
    SCOPED_TRACE(std::to_string(slowCommands.size()) + " adapter(s), signal " +
                 std::to_string(signo));
    std::vector<std::unique_ptr<RunningAdapter>> adapters;
    std::vector<std::string> args = {"update", file};
    for (const std::string& slow : slowCommands) {
      sim::SimulatorOptions options = AdapterModel(2);
      options.link.slowAnswers[slow] = 1000;
      adapters.push_back(std::make_unique<RunningAdapter>(options));
      args.insert(args.end(), {"--connect", adapters.back()->Config()});
    }
    // Busy: the command before the slow one was answered, and another arrived.
    const auto busy = [&](RunningAdapter& adapter, const std::string& slow) {
      const std::vector<sim::TranscriptEntry> answered = adapter->Transcript();
      const std::string before = slow == identifying ? "QKI\r" : "QKUPDT03\r";
      return std::any_of(answered.begin(), answered.end(),
                         [&](const auto& e) { return e.command == before; }) &&
             adapter->CommandCount() > static_cast<int>(answered.size());
    };
    const ProgramResult r = RunProgram(args, "", 0, -1, -1, [&](pid_t pid) {
      bool all = false;
      for (int i = 0; i < 2000 && !all; ++i) {
        all = true;
        for (std::size_t a = 0; a < adapters.size(); ++a)
          all = all && busy(*adapters[a], slowCommands[a]);
        if (!all) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      EXPECT_TRUE(all);
      kill(pid, signo);
    });
    EXPECT_EQ(r.exitCode, exitCode) << r.both();
    EXPECT_EQ(r.both().find("Press Ctrl-C again") != std::string::npos, signo == SIGTERM)
        << r.both();
    for (std::size_t a = 0; a < adapters.size(); ++a) {
      RunningAdapter& adapter = *adapters[a];
      if (slowCommands[a] == downloading) {
        EXPECT_EQ(adapter->Flashes(), signo == SIGHUP ? 1 : 0) << r.out;
        EXPECT_EQ(adapter->InDownloadMode(), signo == SIGTERM) << r.out;
        continue;
      }
      EXPECT_NE(r.out.find("**Failed** Stopped on request before the download began."),
                std::string::npos)
          << r.out;
      EXPECT_EQ(testing::FirstOf(*adapter.operator->(), testing::kDownloadCommands), -1)
          << adapter->TranscriptText();
      EXPECT_FALSE(adapter->InDownloadMode());
    }
  }
}

// A check, an update and a failing update each leave an entry, shown newest last as a line or
// as JSON; a damaged line is skipped with a warning; a history that cannot be written is
// warned about and changes no exit status.
TEST(History, EachUpdateAndCheckLeavesAnEntry) {
  TempDir dir;
  const std::string file = dir.Write("fw.txt", NewerImage(2).text);
  std::filesystem::remove(kHistory.File());
  sim::SimulatorOptions failing = AdapterModel(2);
  failing.faults.repPack[3] = 100;
  RunningAdapter adapter(AdapterModel(2)), bad(failing);
  Expect({"-q", "update", "--check", "--connect", adapter.Config(), file}, 0, {});
  Expect({"-q", "update", "--connect", adapter.Config(), file}, 0, {});
  Expect({"-q", "update", "--connect", bad.Config(), file}, 1, {});
  const std::string device = adapter.Device(), badDevice = bad.Device();
  const ProgramResult shown =
      Expect({"history"}, 0,
             {"  check  " + device + " at 115200  KTR5577  check passed: v2.2.2X → v2.2.3X  ",
              "  update  " + device + " at 115200  KTR5577  v2.2.2X → v2.2.3X  ",
              "  update  " + badDevice + " at 115200  KTR5577  failed: Sending error on 2 line  "});
  EXPECT_EQ(std::count(shown.out.begin(), shown.out.end(), '\n'), 3) << shown.out;
  const std::vector<nlohmann::json> entries = JsonLines(Expect({"history", "--json"}, 0, {}).out);
  ASSERT_EQ(entries.size(), 3u);
  const char* states[] = {"unchanged", "updated_confirmed", "in_download_mode"};
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i]["command"], i == 0 ? "check" : "update");
    EXPECT_EQ(entries[i]["outcome"]["state"], states[i]);
    EXPECT_EQ(entries[i]["file"], file);
    EXPECT_EQ(entries[i]["file_sha256"].get<std::string>().size(), 64u);
  }
  EXPECT_EQ(entries[2]["cause"], "Sending error on 2 line");
  EXPECT_EQ(JsonLines(Expect({"--json", "history", "--limit", "1"}, 0, {}).out),
            std::vector<nlohmann::json>{entries[2]});
  std::ofstream(kHistory.File(), std::ios::app) << "{\"cut\": \n";
  const ProgramResult damaged = Expect(
      {"history"}, 0,
      {"zorbent-fw: warning: " + kHistory.File() + " line 4 is damaged (not JSON): skipped\n"});
  EXPECT_EQ(damaged.out, shown.out);
  // No folder for the history: the update goes on and ends as it would.
  const std::string blocker = dir.Write("blocker", "");
  setenv("ZORBENT_FW_DATA_DIR", (blocker + "/data").c_str(), 1);
  const ProgramResult unwritten =
      Expect({"-q", "update", "--connect", adapter.Config(), file}, 0,
             {"zorbent-fw: warning: this run was not recorded in the update history: cannot make "
              "the folder " +
              blocker + "/data: " + std::strerror(ENOTDIR) +
              " (ZORBENT_FW_DATA_DIR names another folder for it)\n"});
  EXPECT_EQ(std::count(unwritten.err.begin(), unwritten.err.end(), '\n'), 1) << unwritten.err;
  Expect({"history"}, 1, {"zorbent-fw: the update history cannot be read: cannot make the folder"});
  setenv("ZORBENT_FW_DATA_DIR", std::filesystem::path(kHistory.File()).parent_path().c_str(), 1);
}

// --json: stdout holds JSON objects alone, one per adapter, device, port or file, with the same
// exit status as without; the messages go to stderr.
TEST(Json, StdoutCarriesOneObjectPerItemAndNothingElse) {
  TempDir dir;
  const std::string file = dir.Write("fw.txt", NewerImage(1).text);
  RunningAdapter adapter(AdapterModel(1)), silent([] {
    sim::SimulatorOptions options = AdapterModel(1);
    options.link.silent = true;
    return options;
  }());
  const auto run = [](const std::vector<std::string>& args, int exitCode, std::size_t objects) {
    const ProgramResult r = RunProgram(args);
    EXPECT_EQ(r.exitCode, exitCode) << r.both();
    std::vector<nlohmann::json> parsed = JsonLines(r.out);
    EXPECT_EQ(parsed.size(), objects) << r.out;
    return std::pair{parsed, r.err};
  };
  const auto [read, readErr] = run({"--json", "read", "--connect", adapter.Config()}, 0, 1);
  EXPECT_EQ(read[0]["model"], "KTR5575");
  EXPECT_EQ(read[0]["version"], "2.2.2X");
  EXPECT_EQ(read[0]["outcome"]["state"], "unchanged");
  EXPECT_EQ(read[0].count("version_before"), 0u);
  EXPECT_NE(readErr.find("device version"), std::string::npos) << readErr;
  // Control bytes in an answer are shown escaped, in the text and in the JSON alike.
  sim::SimulatorOptions painting = AdapterModel(1);
  painting.adapter.deviceVersion = "2.2.2X\x1b[2J";
  RunningAdapter painter(painting);
  const ProgramResult shown = Expect({"read", "--connect", painter.Config()}, 0,
                                     {"Adapter version:zOrbent MC v2.2.2X\\x1B[2J\n"});
  EXPECT_EQ(shown.both().find('\x1b'), std::string::npos) << shown.both();
  EXPECT_EQ(run({"--json", "read", "--connect", painter.Config()}, 0, 1).first[0]["version"],
            "2.2.2X\\x1B[2J");
  const auto [tray, trayErr] =
      run({"update", "--json", "--connect", adapter.Config(), "--connect", silent.Config(), file},
          1, 2);
  EXPECT_EQ(tray[0]["version_after"], "2.2.3X");
  EXPECT_EQ(tray[1]["outcome"]["kind"], "silent");
  EXPECT_EQ(tray[1]["cause"], "the adapter did not answer");
  EXPECT_NE(trayErr.find("2 adapters: 1 succeeded, 1 failed"), std::string::npos) << trayErr;
  const auto [detected, detectErr] =
      run({"detect", "--json", adapter.Device(), silent.Device()}, 0, 2);
  EXPECT_EQ(detected[0]["status"], "ours");
  EXPECT_EQ(detected[0]["version"], "2.2.3X");
  EXPECT_EQ(detected[1]["status"], "silent");
  const auto [ports, portsErr] = run({"--json", "--add-port", adapter.Device(), "ports"}, 0,
                                     JsonLines(RunProgram({"--json", "ports"}).out).size() + 1);
  EXPECT_EQ(ports.back()["kind"], "added");
  EXPECT_EQ(ports.back()["device"], adapter.Device());
  const auto [good, goodErr] = run({"inspect", "--json", file}, 0, 1);
  EXPECT_EQ(good[0]["file_model"], "KTR5575");
  EXPECT_EQ(good[0]["file_sha256"].get<std::string>().size(), 64u);
  const std::string broken = dir.Write("broken.txt", "");
  const auto [bad, badErr] = run({"--json", "inspect", broken}, 1, 1);
  EXPECT_EQ(bad[0]["valid"], false);
  EXPECT_EQ(bad[0]["error"], broken + " is empty: it is not a firmware file");
  EXPECT_EQ(badErr, "**Failed** " + broken + " is empty: it is not a firmware file\n");
  // A refused file: every adapter's object says so, and nothing reached any of them.
  const auto [refused, refusedErr] =
      run({"--json", "update", "--connect", adapter.Config(), broken}, 1, 1);
  EXPECT_EQ(refused[0]["outcome"]["kind"], "file_unusable");
  EXPECT_EQ(refused[0]["outcome"]["state"], "not_reached");
  Expect({"--json", "demo"}, 2, {"demo has no --json output"});
}

// update --latest and firmware list against a repository served over loopback https: the newest
// build for each family is installed, an adapter on it is left alone, and a repository, model or
// file that cannot be trusted reaches no adapter.
TEST(Latest, UpdatesFromTheTrustedRepositoryAndRefusesWhatItCannotTrust) {
#if defined(ZORBENT_PYTHON) && defined(ZORBENT_HTTP_SERVER)
  TempDir dir;
  const std::string& d = dir.path();
  test::TestRepository repository(d + "/www/fw");
  for (const int model : {2, 5})
    repository.Add(std::string(ModelName(model)) + ".txt", NewerImage(model).text);
  // Listed as newer than the file says it is.
  repository.Add("KTR5575.txt", NewerImage(1).text, {{"version", "2.2.9X"}});
  repository.Publish();
  setenv("no_proxy", "*", 1);
  test::SpawnedProgram server({ZORBENT_PYTHON, ZORBENT_HTTP_SERVER, d});
  int port = 0, httpPort = 0;
  std::sscanf(server.ReadLine(60000).c_str(), "https=%d http=%d", &port, &httpPort);
  ASSERT_NE(port, 0) << "the test server did not start";
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/fw";
  const std::vector<std::string> source = {"--repository",        url,         "--root",
                                           repository.RootFile(), "--ca-file", d + "/ca.pem"};
  const auto sourced = [&source](std::vector<std::string> args) {
    args.insert(args.end(), source.begin(), source.end());
    return args;
  };
  const auto latest = [&](RunningAdapter& adapter, std::vector<std::string> flags) {
    flags.insert(flags.end(), {"update", "--latest", "--connect", adapter.Config()});
    return sourced(flags);
  };
  // A line-mode adapter on a pseudo-terminal, with --json: the update's object names the
  // repository; a second run finds it up to date.
  RunningAdapter line(AdapterModel(2));
  ProgramResult r = Expect(
      latest(line, {"--json"}), 0,
      {"KTR5577 runs v", "; the newest in " + url + " is v2.2.3X\n",
       "verified: KTR5577.txt is KTR5577 v2.2.3X, listed in " + url + "\n", "Update succeeded"});
  std::vector<nlohmann::json> objects = JsonLines(r.out);
  ASSERT_EQ(objects.size(), 1u) << r.out;
  EXPECT_EQ(objects[0]["repository"], url);
  EXPECT_EQ(line->Flashes(), 1);
  Expect(latest(line, {"-q"}), 0,
         {"already up to date: KTR5577 runs v2.2.3X, the newest in " + url + "\n"});
  // A block-mode adapter over TCP.
  RunningAdapter block(AdapterModel(5, true));
  Expect(latest(block, {"-q"}), 0, {"is v2.2\n", "Update succeeded"});
  EXPECT_EQ(block->Flashes(), 1);
  // Refused after the read, with nothing sent that changes the adapter: no build for the model,
  // only older builds (the repository may be held back), a file that is not the build listed.
  sim::SimulatorOptions ahead = AdapterModel(2);
  ahead.adapter.deviceVersion = "2.2.9X";
  RunningAdapter other(AdapterModel(6)), newer(ahead), mislisted(AdapterModel(1));
  const struct {
    RunningAdapter& adapter;
    std::string says;
  } refusals[] = {
      {other, "Update failed: " + url +
                  " has no firmware for KTR5688 (it has KTR5575, KTR5577, "
                  "KTR558)."},
      {newer, "Update failed: " + url +
                  " lists only older firmware for KTR5577 (newest v2.2.3X; "
                  "the adapter runs v2.2.9X): the repository may be stale."},
      {mislisted,
       "KTR5575/KTR5575.txt is refused: it is listed as KTR5575 v2.2.9X, but the file "
       "itself says it is KTR5575 v2.2.3X."},
  };
  for (const auto& c : refusals) {
    r = Expect(latest(c.adapter, {"-q"}), 1, {c.says});
    EXPECT_EQ(r.both().find("up to date"), std::string::npos) << r.both();
    EXPECT_EQ(r.both().find("--allow-older"), std::string::npos) << r.both();
    EXPECT_EQ(c.adapter->Flashes(), 0);
    EXPECT_FALSE(c.adapter->InDownloadMode());
  }
  // Before any adapter: http:// beyond the loopback; a timestamp older than the one trusted
  // (a rollback) once a newer was seen.
  Expect(
      {"firmware", "list", "--repository", "http://192.0.2.1/fw", "--root", repository.RootFile()},
      1, {"http://192.0.2.1/fw is refused: http:// protects nothing"});
  const std::string older = repository.Read("metadata/timestamp.json");
  repository.Publish();
  objects = JsonLines(Expect(sourced({"--json", "firmware", "list"}), 0, {}).out);
  ASSERT_EQ(objects.size(), 3u);
  EXPECT_EQ(objects[2]["model"], "KTR558");
  EXPECT_EQ(objects[2]["target"], "KTR558/KTR558.txt");
  EXPECT_EQ(objects[0]["newest"], true);
  repository.Write("metadata/timestamp.json", older);
  tuf::Problem rollback;
  rollback.failure = tuf::Failure::kRollback;
  rollback.role = "timestamp";
  rollback.detail = "version 1 is older than the trusted version 2";
  RunningAdapter untouched(AdapterModel(2));
  Expect(latest(untouched, {"-q"}), 1,
         {"**Failed** " + tuf::ProblemSentence(rollback) +
          "\nUpdate failed: no firmware could be chosen. Nothing was sent to the adapter.\n"});
  EXPECT_EQ(untouched->CommandCount(), 0);
  repository.Publish();

  // A local file: named verified when the trusted repository lists it; --require-signed
  // refuses any other before a port is opened.
  const std::string unlisted = dir.Write("unlisted.txt", NewerImage(3).text);
  const std::string listed = dir.Write("KTR558.txt", NewerImage(5).text);
  Expect(sourced({"update", "--require-signed", "--port", "/dev/zorbent-none", unlisted}), 1,
         {"not verified: this file is in no trusted repository\nUpdate failed: --require-signed"});
  Expect(sourced({"update", "--check", "--require-signed", listed, "--connect", block.Config()}), 0,
         {"verified: KTR558.txt is KTR558 v2.2, listed in " + url + "\n"});
  Expect({"update", "--latest", "--port", "/dev/null", unlisted}, 2, {"FILE or --latest"});

  // Read once: a listed file replaced while --port auto probes is neither sent nor recorded.
  const std::string signedText = NewerImage(2).text;
  const std::string swapped = dir.Write("swapped.txt", signedText);
  sim::SimulatorOptions swapping = AdapterModel(2);
  swapping.onCommand = [&dir, done = false](const std::string&) mutable {
    if (!std::exchange(done, true)) dir.Write("swapped.txt", NewerImage(2, 5).text);
  };
  RunningAdapter probed(swapping);
  Expect(sourced({"-q", "--add-port", probed.Device(), "update", "--require-signed", "--port",
                  "auto", swapped}),
         0, {"verified: swapped.txt is KTR5577 v2.2.3X"});
  EXPECT_TRUE(sim::RecordsMatchImage(probed->Records(), NewerImage(2), false));
  HistoryContents history;
  std::string problem;
  ASSERT_TRUE(ReadHistory(kHistory.File(), history, problem)) << problem;
  EXPECT_EQ(
      history.entries.back()["file_sha256"],
      Sha256Hex({reinterpret_cast<const std::uint8_t*>(signedText.data()), signedText.size()}));
  EXPECT_EQ(history.entries.back()["repository"], url);
#else
  GTEST_SKIP() << "no python3 for the test server";
#endif
}

}  // namespace
}  // namespace zorbent::cli_test
