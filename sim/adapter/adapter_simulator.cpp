#include "sim/adapter/adapter_simulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "sim/adapter/link.h"

namespace zorbent::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxCommand = 512;  // the adapter's input buffer
constexpr std::size_t kMaxTranscript = 200000;
constexpr std::size_t kFloodBytes = 4096;
constexpr std::size_t kPaceChunk = 16;
// How long the adapter's delay before its first line at the new rate may wait for the host to
// take the "OK" off a pseudo-terminal, looking every millisecond (there is no event for it).
constexpr auto kHostReadWait = std::chrono::seconds(1);
constexpr std::int64_t kHostReadPollUs = 1000;
// The serving thread drops what it does at once when woken; this only bounds a wait on a
// thread that has ended.
constexpr auto kPowerCycleWait = std::chrono::seconds(5);

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// What a byte stream sent at one rate looks like read at another: never a prompt or a line end.
std::string Garble(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) out.push_back(static_cast<char>(static_cast<unsigned char>(c) | 0x80));
  if (out.empty()) out = "\xF0";
  return out;
}

// A NUL after every character, and a stray "\r\n" before a closing prompt.
std::string WithNoise(std::string_view answer) {
  std::string out;
  for (std::size_t i = 0; i < answer.size(); ++i) {
    if (i + 1 == answer.size() && answer[i] == '>') out += "\r\n";
    out.push_back(answer[i]);
    if (answer[i] != '>') out.push_back('\0');
  }
  return out;
}

std::string Printable(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (byte < 0x20 || byte >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

struct AdapterSimulator::State {
  explicit State(SimulatorOptions o)
      : options(std::move(o)), core(options.adapter, options.faults) {}

  SimulatorOptions options;
  mutable std::mutex mutex;  // guards core, transcript, commands, power cycles
  AdapterCore core;
  std::vector<TranscriptEntry> transcript;
  int commands = 0;
  int powerCyclesAsked = 0;
  int powerCyclesDone = 0;
  std::condition_variable poweredOn;

  std::unique_ptr<Link> link;
  WakeEvent wake;
  std::thread thread;
  std::atomic<bool> stopping{false};
  bool started = false;
  Clock::time_point start = Clock::now();
  std::string input;
  bool afterCr = false;  // the last byte taken in was a CR

  double Seconds() const { return std::chrono::duration<double>(Clock::now() - start).count(); }

  // The modelled line's clock: when what it has carried since the last exchange began is
  // through. Waits count from there, not from each wake-up, so a late wake-up shortens the
  // next wait instead of adding up over an answer. (A host that reads while the simulator is
  // late sees the catch-up as a burst faster than the rate.)
  Clock::time_point wireFree{};

  void StartWire() { wireFree = Clock::now(); }

  // False when woken to stop.
  bool WireWait(std::int64_t durationUs) {
    wireFree += std::chrono::microseconds(durationUs);
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(wireFree - Clock::now());
    return SleepUnlessWoken(wake, left.count());
  }

  // Sleeps the time `bytes` take on the wire at `rate`; false when woken to stop.
  bool WireDelay(std::size_t bytes, std::int32_t rate) {
    if (!options.linkModel || rate <= 0) return true;
    return WireWait(static_cast<std::int64_t>(bytes) * 10 * 1000000 / rate);
  }

  bool Send(std::string_view bytes, std::int32_t rate) {
    if (bytes.empty()) return true;
    if (options.link.splitAnswers) {
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (!WireDelay(1, rate) || !link->Write(Bytes(bytes.substr(i, 1)), wake)) return false;
      }
      return true;
    }
    if (!options.linkModel) return link->Write(Bytes(bytes), wake);
    for (std::size_t at = 0; at < bytes.size(); at += kPaceChunk) {
      const std::string_view chunk = bytes.substr(at, kPaceChunk);
      if (!WireDelay(chunk.size(), rate) || !link->Write(Bytes(chunk), wake)) return false;
    }
    return true;
  }

  // The host's line rate as the adapter meets it; 0 when it has none (TCP) or none that
  // matters (a rate-blind link).
  std::int32_t HostRate() const { return options.link.rateBlind ? 0 : link->HostRate(); }

  // What the host reads of bytes the adapter sends at its own rate.
  std::string AsHostSees(std::string_view bytes, std::int32_t adapterRate) const {
    const std::int32_t hostRate = HostRate();
    if (hostRate != 0 && hostRate != adapterRate) return Garble(bytes);
    return std::string(bytes);
  }

  void Record(std::int32_t rate, std::string_view command, std::string_view answer) {
    std::lock_guard lock(mutex);
    if (transcript.size() < kMaxTranscript)
      transcript.push_back({Seconds(), rate, std::string(command), std::string(answer)});
  }

  // The adapter at its new rate sends its first line after its own delay, as the host then
  // hears it: a host still at the old rate reads noise, a closed port nothing. A line hands
  // the "OK" to the host as it arrives, a pseudo-terminal only when the host reads: the delay
  // counts from there.
  void RaiseRate(std::int32_t rate) {
    const auto deadline = Clock::now() + kHostReadWait;
    while (link->Unread() > 0 && Clock::now() < deadline) {
      if (!SleepUnlessWoken(wake, kHostReadPollUs)) return;
    }
    const std::int64_t delayUs = std::int64_t{options.rateLineDelayMs} * 1000;
    if (!SleepUnlessWoken(wake, delayUs)) return;
    const std::string banner = AsHostSees(AdapterCore::FastRateBanner(), rate);
    Record(rate, "", banner);
    StartWire();
    Send(banner, rate);
  }

  // A command as it came in, numbered on arrival; echoed when it came while the adapter was
  // busy with an answer.
  struct Arrived {
    std::string command;
    int number = 0;
    bool echoed = false;
  };
  std::deque<Arrived> arrived;

  bool Lost(const Arrived& a) const {
    return options.link.silent || a.number == options.link.loseAnswerAt;
  }

  // Echoes what has arrived and not been echoed yet, as the adapter does while it works on a
  // late answer; false when the link failed.
  bool EchoArrived() {
    bool echo = false;
    std::int32_t rate = 0;
    {
      std::lock_guard lock(mutex);
      echo = core.Echo();
      rate = core.Rate();
    }
    const std::int32_t hostRate = HostRate();
    if (!echo || (hostRate != 0 && hostRate != rate)) return true;
    for (Arrived& a : arrived) {
      if (a.echoed || Lost(a)) continue;
      a.echoed = true;
      StartWire();
      if (!Send(a.command, rate)) return false;
    }
    return true;
  }

  // Waits ms for a late answer while taking in what the host sends meanwhile (echoed at once,
  // answered after the late answer); false when woken to stop or the link failed.
  bool BusyWait(int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    if (!EchoArrived()) return false;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now());
      if (left.count() <= 0) return true;
      const WaitResult ready = WaitForInput(link->ListenFd(), link->DataFd(), wake, left.count());
      if (ready.woken) return false;
      if (!Receive(ready) || !EchoArrived()) return false;
    }
  }

  // The command's time on the way in: its echo or the wire's delay, the adapter's processing,
  // a late or busy answer's wait. sentAlready: the bytes of the answer already on the wire
  // (the echo, sent as the command arrived or while the adapter was busy), which are not sent
  // again. False when woken to stop or the link failed.
  bool TakeIn(const Arrived& arrival, std::int32_t rate, bool echo, bool understood,
              std::size_t& sentAlready) {
    const std::string& command = arrival.command;
    const LinkFaults& faults = options.link;
    // An adapter echoes each character as it takes it in, so on a modelled line the echo
    // crosses back while the command arrives; without the echo the command's time passes
    // in silence.
    sentAlready = arrival.echoed ? command.size() : 0;
    const bool echoWhileArriving = options.linkModel && echo && understood && !arrival.echoed;
    if (!arrival.echoed &&
        (echoWhileArriving ? !Send(command, rate) : !WireDelay(command.size(), rate)))
      return false;
    if (echoWhileArriving) sentAlready = command.size();
    if (options.linkModel && options.processingUs > 0 && !WireWait(options.processingUs))
      return false;
    const std::string name = command.substr(0, command.size() - 1);
    const auto slow = faults.slowAnswers.find(name);
    const int lateMs = slow != faults.slowAnswers.end() ? slow->second : faults.everyAnswerLateMs;
    if (lateMs > 0 && !SleepUnlessWoken(wake, std::int64_t{lateMs} * 1000)) return false;
    if (const auto busy = faults.echoWhileBusy.find(name);
        busy != faults.echoWhileBusy.end() && understood) {
      // The echo goes out at once, the answer only when the adapter is done.
      if (echo && sentAlready == 0) {
        if (!Send(command, rate)) return false;
        sentAlready = command.size();
      }
      if (!BusyWait(busy->second)) return false;
    }
    return true;
  }

  // The answer as the link's faults shape it.
  std::string WithLinkFaults(std::string answer) const {
    const LinkFaults& faults = options.link;
    if (faults.floodWithoutPrompt) return std::string(kFloodBytes, 'A');
    if (faults.nulBytes) answer = WithNoise(answer);
    if (faults.garbageAfterPrompt && !answer.empty() && answer.back() == '>')
      answer += "\x01~noise\x7F";
    return answer;
  }

  void HandleCommand(const Arrived& arrival) {
    const std::string& command = arrival.command;
    if (options.onCommand) options.onCommand(command);
    std::int32_t rate = 0;
    bool echo = false;
    CommandResult result;
    const std::int32_t hostRate = HostRate();
    bool understood = true;
    {
      std::lock_guard lock(mutex);
      rate = core.Rate();
      echo = core.Echo();
      understood = hostRate == 0 || hostRate == rate;
    }
    if (Lost(arrival)) {
      Record(rate, command, "");  // lost on the wire: the adapter never saw it
      return;
    }
    StartWire();
    std::size_t sentAlready = 0;
    if (!TakeIn(arrival, rate, echo, understood, sentAlready)) return;

    std::string out;
    if (!understood) {
      // Bytes at the wrong rate are noise to the adapter; it answers as to any unknown
      // command, at its own rate, which the host in turn reads as noise.
      out = Garble(command) + Garble("?\r\r>");
      Record(rate, Garble(command), out);
      Send(out, rate);
      return;
    }
    {
      std::lock_guard lock(mutex);
      result = core.Handle(command);
    }
    if (echo || sentAlready > 0) out = command;
    if (result.action == LinkAction::kHangUp) {
      Record(rate, command, "(hang-up)");
      link->Disconnect();
      input.clear();
      arrived.clear();
      return;
    }
    if (result.action == LinkAction::kPowerLoss) {
      Record(rate, command, "(power loss)");
      input.clear();
      arrived.clear();
      return;
    }
    out += WithLinkFaults(result.answer);
    out = AsHostSees(out, rate);
    // Recorded first: a host that has read the answer finds it in the transcript.
    Record(rate, command, out);
    const bool sent = Send(std::string_view(out).substr(sentAlready), rate);
    if (sent && result.action == LinkAction::kRaiseRate) {
      std::int32_t newRate = 0;
      {
        std::lock_guard lock(mutex);
        newRate = core.Rate();
      }
      RaiseRate(newRate);
    }
  }

  void Arrive(std::string command) {
    std::lock_guard lock(mutex);
    arrived.push_back({std::move(command), ++commands});
  }

  // Splits bytes into commands, which wait in `arrived`.
  void OnBytes(std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) {
      // As an ELM327 does, a LF right after the CR that ended a command is dropped.
      const bool lfAfterCr = afterCr && byte == '\n';
      afterCr = byte == '\r';
      if (lfAfterCr) continue;
      input.push_back(static_cast<char>(byte));
      if (byte == '\r') {
        Arrive(std::move(input));
        input.clear();
      } else if (input.size() >= kMaxCommand) {
        // Overflow: the adapter drops what it has and says it did not understand.
        input.clear();
        Arrive("\r");
      }
    }
  }

  // Takes a new host or what the current one sent; false when the link went down for good.
  bool Receive(const WaitResult& ready) {
    if (ready.listenReady && link->AcceptHost()) {
      input.clear();
      arrived.clear();
    }
    if (ready.dataReady) {
      std::array<std::uint8_t, 1024> buffer{};
      const int n = link->Read(buffer);
      if (n > 0) OnBytes(std::span(buffer.data(), static_cast<std::size_t>(n)));
      if (n < 0 && link->ListenFd() < 0) {
        // The pseudo-terminal is gone: nothing more will arrive.
        link->Disconnect();
        return false;
      }
    }
    return true;
  }

  bool PowerCycleAsked() const {
    std::lock_guard lock(mutex);
    return powerCyclesAsked != powerCyclesDone;
  }

  // Power off and on: what was arriving or waiting is lost, a TCP host is dropped (a pseudo-
  // terminal stays: its host side is not the adapter's).
  void ServePowerCycle() {
    if (!PowerCycleAsked()) return;
    input.clear();
    arrived.clear();
    afterCr = false;
    if (link->ListenFd() >= 0) link->Disconnect();
    {
      std::lock_guard lock(mutex);
      core.PowerCycle();
      if (transcript.size() < kMaxTranscript)
        transcript.push_back({Seconds(), core.Rate(), "", "(power cycle)"});
      powerCyclesDone = powerCyclesAsked;
    }
    poweredOn.notify_all();
  }

  void Run() {
    while (!stopping.load()) {
      const WaitResult ready = WaitForInput(link->ListenFd(), link->DataFd(), wake, -1);
      if (ready.woken) {
        wake.Clear();
        ServePowerCycle();
        continue;
      }
      Receive(ready);
      // A power cycle asked meanwhile has raised the wake event, which cuts short any wait
      // of a command; the loop's next wait serves it.
      while (!arrived.empty() && !stopping.load() && !PowerCycleAsked()) {
        const Arrived next = std::move(arrived.front());
        arrived.pop_front();
        HandleCommand(next);
      }
    }
    std::lock_guard lock(mutex);
    powerCyclesDone = powerCyclesAsked;
    poweredOn.notify_all();
  }
};

AdapterSimulator::AdapterSimulator(SimulatorOptions options)
    : state_(std::make_unique<State>(std::move(options))) {}

AdapterSimulator::~AdapterSimulator() {
  Stop();
}

bool AdapterSimulator::Start(std::string* error) {
  std::string reason;
  if (state_->started) {
    reason = "the simulator is already running";
  } else if (!state_->wake.IsValid()) {
    reason = "cannot create the wake descriptor";
  } else {
    state_->link = state_->options.tcp ? MakeTcpLink(state_->options.tcpPort) : MakePtyLink();
    if (!state_->link) {
      reason = "pseudo-terminals are not available on this system: use TCP";
    } else if (state_->link->Open(reason)) {
      state_->start = Clock::now();
      state_->stopping = false;
      state_->started = true;
      state_->thread = std::thread([this] { state_->Run(); });
      return true;
    }
    state_->link.reset();
  }
  if (error != nullptr) *error = reason;
  return false;
}

void AdapterSimulator::Stop() {
  if (!state_ || !state_->started) return;
  state_->stopping = true;
  state_->wake.Raise();
  if (state_->thread.joinable()) state_->thread.join();
  state_->link->Disconnect();
  state_->started = false;
}

std::string AdapterSimulator::ConfigString() const {
  return state_->link ? state_->link->ConfigString() : std::string();
}

std::vector<std::string> AdapterSimulator::Records() const {
  std::lock_guard lock(state_->mutex);
  return state_->core.Records();
}

int AdapterSimulator::Flashes() const {
  std::lock_guard lock(state_->mutex);
  return state_->core.Flashes();
}

std::string AdapterSimulator::DeviceVersion() const {
  std::lock_guard lock(state_->mutex);
  return state_->core.DeviceVersion();
}

std::string AdapterSimulator::ElmVersion() const {
  std::lock_guard lock(state_->mutex);
  return state_->core.ElmVersion();
}

bool AdapterSimulator::InDownloadMode() const {
  std::lock_guard lock(state_->mutex);
  return state_->core.InDownloadMode();
}

std::int32_t AdapterSimulator::Rate() const {
  std::lock_guard lock(state_->mutex);
  return state_->core.Rate();
}

int AdapterSimulator::CommandCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->commands;
}

std::vector<TranscriptEntry> AdapterSimulator::Transcript() const {
  std::lock_guard lock(state_->mutex);
  return state_->transcript;
}

std::string AdapterSimulator::TranscriptText() const {
  std::string out;
  for (const TranscriptEntry& entry : Transcript()) {
    char head[64];
    std::snprintf(head, sizeof head, "%10.6f %7d ", entry.seconds, static_cast<int>(entry.rate));
    out += head;
    out += entry.command.empty() ? std::string("(no command)") : "<< " + Printable(entry.command);
    out += "  >> ";
    out += Printable(entry.answer);
    out += '\n';
  }
  return out;
}

void AdapterSimulator::PowerCycle() {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  if (!s.started) {
    s.core.PowerCycle();
    return;
  }
  const int asked = ++s.powerCyclesAsked;
  s.wake.Raise();
  s.poweredOn.wait_for(lock, kPowerCycleWait, [&] { return s.powerCyclesDone >= asked; });
}

bool RecordsMatchImage(const std::vector<std::string>& records, const BuiltImage& image,
                       bool blockMode) {
  std::vector<std::string> expected;
  if (blockMode) {
    for (const std::string& line : image.lines) {
      if (line.starts_with("FFF1")) break;
      expected.push_back(line);
    }
  } else {
    // Lines go in pairs; a last line without a partner is not sent.
    const std::size_t sent = image.lines.size() - image.lines.size() % 2;
    expected.assign(image.lines.begin(), image.lines.begin() + static_cast<std::ptrdiff_t>(sent));
  }
  return records == expected;
}

}  // namespace zorbent::sim
