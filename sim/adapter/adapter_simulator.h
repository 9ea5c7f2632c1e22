#pragma once

// A simulated adapter on a real wire (pseudo-terminal or loopback TCP), served by a thread of
// its own, for tests, the demo and benchmarks. It meets the engine only across that wire.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/adapter/adapter_core.h"
#include "sim/image/image_builder.h"

namespace zorbent::sim {

// Faults of the wire and of the answers, beside the record faults of AdapterFaults.
struct LinkFaults {
  bool silent = false;              // never answers anything
  int loseAnswerAt = 0;             // n-th command (1-based) gets no answer, once; 0 never
                                    // (lost on the wire: the adapter never sees it)
  bool splitAnswers = false;        // answers go out one byte per write
  bool nulBytes = false;            // NUL bytes and stray "\r\n" inside answers
  bool garbageAfterPrompt = false;  // bytes after the prompt that belong to no answer
  bool floodWithoutPrompt = false;  // answers every command with a long run, never '>'
  // Command (without its "\r") to the milliseconds its answer is late, every time; the
  // adapter works on it meanwhile and takes no other command.
  std::map<std::string, int> slowAnswers;
  int everyAnswerLateMs = 0;  // as slowAnswers, for every command not named there
  // The host's line rate does not reach the adapter, as over a Bluetooth serial link: bytes
  // pass whatever rate the host sets.
  bool rateBlind = false;
  // Command (without its "\r") to the milliseconds its answer is late, every time, as a real
  // adapter answers a slow "ATE1" after power-up: its echo goes out at once, and a command
  // that arrives meanwhile is echoed at once (when the echo is on) but answered only after
  // the late answer, e.g. "ATE1\r" ... "ATI\r" carries "ATE1\r", then "ATI\r", "OK\r\r>",
  // "ELM327 v2.2\r\r>".
  std::map<std::string, int> echoWhileBusy;
};

// How long the adapter takes, after its "OK" to the rate command, to send its first line at the
// new rate: a few milliseconds, whether or not the host has switched by then.
inline constexpr int kRateLineDelayMs = 5;

struct SimulatorOptions {
  AdapterOptions adapter;
  AdapterFaults faults;
  LinkFaults link;
  bool tcp = false;        // false: pseudo-terminal
  int tcpPort = 0;         // 0: pick a free port on 127.0.0.1
  bool linkModel = false;  // delay 10 bits per byte at the current rate both ways
  int processingUs = 0;    // per-command processing time when linkModel is on
  // Called on the simulator's thread with each command it takes up, before answering it: a
  // test acts at a known point of a host's run (the host waits for the answer meanwhile).
  std::function<void(const std::string& command)> onCommand;
  // Milliseconds from the "OK" to "QK DLBD 02" to the "KTR558 Update" line at the new rate. A
  // host still at the old rate then reads noise; one that reopens its port meanwhile (a
  // browser) may miss the line.
  int rateLineDelayMs = kRateLineDelayMs;
};

struct TranscriptEntry {
  double seconds;  // since Start
  std::int32_t rate;
  std::string command;
  std::string answer;
};

class AdapterSimulator {
 public:
  explicit AdapterSimulator(SimulatorOptions options);
  ~AdapterSimulator();
  AdapterSimulator(const AdapterSimulator&) = delete;
  AdapterSimulator& operator=(const AdapterSimulator&) = delete;

  // Opens the link and starts serving it; false (with a reason) when the link cannot open.
  bool Start(std::string* error = nullptr);
  void Stop();
  // "com|/dev/pts/N:115200" or "tcp|127.0.0.1:PORT"; empty before Start.
  std::string ConfigString() const;

  // Thread-safe snapshots.
  std::vector<std::string> Records() const;  // hex texts of the records of the last download
  int Flashes() const;                       // completed downloads taken as new firmware
  std::string DeviceVersion() const;
  std::string ElmVersion() const;
  bool InDownloadMode() const;
  std::int32_t Rate() const;  // the adapter's own line rate
  int CommandCount() const;   // commands received since Start
  std::vector<TranscriptEntry> Transcript() const;
  std::string TranscriptText() const;  // printable, as --transcript prints it

  // Turns the adapter off and on, as AdapterCore::PowerCycle, on the same pseudo-terminal or
  // TCP port: what was on its way in is lost, and a TCP host's connection drops, as the
  // adapter's WiFi drops it. Returns once the adapter is back on.
  void PowerCycle();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// True when records are exactly the data records of the image, in order: the line-mode
// trailer included (the line-mode flow sends it), the block-mode trailer excluded.
bool RecordsMatchImage(const std::vector<std::string>& records, const BuiltImage& image,
                       bool blockMode);

}  // namespace zorbent::sim
