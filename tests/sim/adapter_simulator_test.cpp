// The simulated adapter against a host of raw bytes, for what the engine never sends or sees.

#include "sim/adapter/adapter_simulator.h"

#include <gtest/gtest.h>

#include <memory>

#include "port/port_config.h"
#include "port/port_factory.h"
#include "tests/support/sim_adapter.h"

namespace zorbent::sim {
namespace {

constexpr int kWaitMs = 3000;  // an answer that should come
constexpr int kQuietMs = 150;  // how long silence must last to count as no answer

// The host side of the wire: the project's own port, read one byte at a time as the engine reads.
class Host {
 public:
  explicit Host(const std::string& config) {
    ParsedConfig parsed;
    if (ParseConfigString(config, parsed)) port_ = CreatePort(parsed.kind, parsed.config, ok_);
  }
  bool ok() const { return ok_; }
  bool SetRate(std::int32_t rate) { return port_->SetBaud(rate) == 1; }

  void Send(std::string_view text) {
    port_->Purge();
    ASSERT_TRUE(
        port_->Write({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, kWaitMs));
  }
  // Bytes up to `last` found past the first `from`, or until waitMs of quiet.
  std::string ReadTo(char last, std::size_t from = 0, int waitMs = kWaitMs) {
    std::string text;
    for (std::uint8_t byte = 0; port_->Read({&byte, 1}, waitMs);) {
      text.push_back(static_cast<char>(byte));
      if (last != 0 && text.back() == last && text.size() > from) break;
    }
    return text;
  }
  std::string Drain() { return ReadTo(0, 0, kQuietMs); }

  // The whole reply up to the prompt (or, toLineEnd, up to the first "\r" after the echo).
  std::string Ask(std::string_view command, bool toLineEnd = false) {
    Send(command);
    return toLineEnd ? ReadTo('\r', command.size()) : ReadTo('>');
  }

 private:
  std::unique_ptr<Port> port_;
  bool ok_ = false;
};

bool Has(const std::string& reply, std::string_view part) {
  return reply.find(part) != std::string::npos;
}

// One digit changed, so the check byte (line) or SUM (block) no longer fits.
std::string Corrupt(std::string line) {
  char& c = line[line.size() / 2];
  c = c == '0' ? '1' : '0';
  return line;
}

const std::string kAti = "ATI\rELM327 v2.2\r\r>";

// One line-mode and one block-mode model.
class SimulatorTest : public ::testing::TestWithParam<int> {
 protected:
  int Model() const { return GetParam(); }
  bool Block() const { return Model() == 5; }
  // Starts a simulator of the model, as `adjust` changes it, and connects the host to it.
  void Begin(void (*adjust)(SimulatorOptions&) = [](SimulatorOptions&) {}) {
    SimulatorOptions options;
    options.adapter.model = Model();
    adjust(options);
    sim_ = std::make_unique<AdapterSimulator>(std::move(options));
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    host_ = std::make_unique<Host>(sim_->ConfigString());
    ASSERT_TRUE(host_->ok()) << sim_->ConfigString();
  }
  // Opens the download, as the matching flow does, up to the first record.
  void OpenDownload() {
    if (!Block()) {
      ASSERT_TRUE(Has(host_->Ask("QKUPDT03\r"), "OK"));
      return;
    }
    ASSERT_TRUE(host_->Ask("QKDLKTR558\r").starts_with("QKDLKTR558\rOK"));
    ASSERT_EQ(host_->Ask("QK DLBD 02\r", true), "QK DLBD 02\rOK\r");
    const std::string_view line = AdapterCore::FastRateBanner();
    if (sim_->ConfigString().starts_with("tcp")) {
      ASSERT_EQ(host_->ReadTo('\r'), line);
    } else {
      // The adapter's first line at the new rate does not wait for the host, which hears it at
      // the old rate as noise (its CR too); a bare CR at the new rate is answered all the same.
      const std::string noise = host_->ReadTo(static_cast<char>('\r' | 0x80));
      ASSERT_EQ(noise.size(), line.size());
      ASSERT_FALSE(Has(noise, "Update"));
      ASSERT_TRUE(host_->SetRate(2000000));
    }
    ASSERT_TRUE(Has(host_->Ask("\r"), "OK"));
  }
  std::unique_ptr<AdapterSimulator> sim_;
  std::unique_ptr<Host> host_;
};

TEST_P(SimulatorTest, AsksForACorruptedRecordAgainAndTakesTheSoundOne) {
  Begin();
  const BuiltImage image = test::NewerImage(Model(), 5);
  OpenDownload();
  const auto record = [&](const std::string& line) {
    return host_->Ask(Block() ? "QKDLDT" + line + "\r" : "QKBL" + line.substr(2) + "\r");
  };
  EXPECT_TRUE(Has(record(Corrupt(image.lines[0])), Block() ? "ERR02\r" : "RepPack\r"));
  EXPECT_TRUE(Has(record(image.lines[0]), Block() ? "OK\r" : "...\r"));
  if (!Block()) return;
  // A refused record leaves a gap: the download ends, but nothing is flashed.
  EXPECT_TRUE(Has(host_->Ask("QKDLED\r", true), "OK\r"));
  EXPECT_EQ(sim_->Flashes(), 0);
  EXPECT_TRUE(sim_->InDownloadMode());
}

// A WiFi adapter takes one host at a time; a new connection replaces the old.
TEST_P(SimulatorTest, OverTcpANewHostReplacesTheOld) {
  Begin([](SimulatorOptions& o) { o.tcp = true; });
  ASSERT_TRUE(sim_->ConfigString().starts_with("tcp|127.0.0.1:"));
  EXPECT_EQ(host_->Ask("ATI\r"), kAti);
  host_ = std::make_unique<Host>(sim_->ConfigString());
  ASSERT_TRUE(host_->ok());
  EXPECT_EQ(host_->Ask("ATI\r"), kAti);
}

// What a host at another rate, with CR LF line ends or on a noisy link gets.
TEST_P(SimulatorTest, WrongRateLineEndsAndNoise) {
  Begin();
  ASSERT_TRUE(host_->SetRate(9600));
  host_->Send("ATI\r");
  const std::string noise = host_->Drain();
  EXPECT_FALSE(noise.empty());
  EXPECT_FALSE(Has(noise, ">") || Has(noise, "ELM327"));
  ASSERT_TRUE(host_->SetRate(115200));
  EXPECT_EQ(host_->Ask("ATI\r"), kAti);
  // A CR LF host: the LF is dropped, even in a write of its own, and never begins a command.
  Begin();
  EXPECT_EQ(host_->Ask("ATI\r\n"), kAti);
  EXPECT_EQ(host_->Ask("ATI\r"), kAti);
  host_->Send("\n");
  EXPECT_EQ(host_->Drain(), "");
  EXPECT_EQ(host_->Ask("ATI\r"), kAti);
  // NUL bytes and stray line ends in the answers, bytes after the prompt, a flood without one.
  Begin([](SimulatorOptions& o) { o.link.nulBytes = true; });
  const std::string reply = host_->Ask("ATI\r");
  EXPECT_NE(reply.find('\0'), std::string::npos);
  EXPECT_TRUE(Has(reply, "\r\n>"));
  std::string clean = reply;
  std::erase_if(clean, [](char c) { return c == '\0' || c == '\n'; });
  EXPECT_EQ(clean, "ATI\rELM327 v2.2\r\r\r>");
  Begin([](SimulatorOptions& o) { o.link.garbageAfterPrompt = true; });
  host_->Send("ATI\r");
  std::string all = host_->Drain();
  ASSERT_NE(all.find('>'), std::string::npos);
  EXPECT_GT(all.size(), all.find('>') + 1);
  Begin([](SimulatorOptions& o) { o.link.floodWithoutPrompt = true; });
  host_->Send("ATI\r");
  all = host_->Drain();
  EXPECT_GT(all.size(), 2048u);  // more than the host's largest reply buffer
  EXPECT_FALSE(Has(all, ">"));
}

// Off and on, on the same pty or TCP port (a TCP host is dropped): the normal rate, the echo
// back on; in the firmware unless a download had begun and not completed.
TEST_P(SimulatorTest, PowerCycleKeepsTheWireAndComesBackWhereARealAdapterWould) {
  for (auto* const adjust :
       {+[](SimulatorOptions&) {}, +[](SimulatorOptions& o) { o.tcp = true; }}) {
    Begin(adjust);
    const std::string config = sim_->ConfigString();
    const bool tcp = config.starts_with("tcp");
    const auto cycle = [&] {
      sim_->PowerCycle();
      EXPECT_EQ(sim_->ConfigString(), config);
      if (tcp) host_ = std::make_unique<Host>(config);  // the old connection is gone
      ASSERT_TRUE(host_->ok());
      host_->SetRate(115200);
    };
    EXPECT_EQ(host_->Ask("ATE0\r"), "ATE0\rOK\r\r>");
    cycle();
    EXPECT_EQ(host_->Ask("ATI\r"), kAti);
    OpenDownload();
    const BuiltImage image = test::NewerImage(Model(), 5);
    host_->Ask(Block() ? "QKDLDT" + image.lines[0] + "\r"
                       : "QKBL" + image.lines[0].substr(2) + "\r");
    cycle();
    EXPECT_EQ(host_->Ask("ATI\r"), "ATI\rzOrbent boot loader\r\r>");
    EXPECT_EQ(host_->Ask("QKI\r"), "QKI\r?\r\r>");
    EXPECT_EQ(sim_->Rate(), 115200);
    EXPECT_TRUE(sim_->Records().empty());
    cycle();  // still nothing to run
    EXPECT_TRUE(sim_->InDownloadMode());
  }
}

INSTANTIATE_TEST_SUITE_P(LineAndBlock, SimulatorTest, ::testing::Values(2, 5),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(ModelName(info.param));
                         });

// Busy, the adapter echoes at once and answers after its late answer; ATEx acts on its answer.
TEST(SimulatorEchoWhileBusy, LateAnswerComesBetweenTheEchoAndTheOwnAnswer) {
  for (const bool echo : {true, false}) {
    SimulatorOptions options;
    options.adapter.echo = echo;
    options.link.echoWhileBusy = {{"ATE1", 300}, {"ATE0", 2000}};
    test::RunningAdapter sim(options);
    Host host(sim.Config());
    ASSERT_TRUE(host.ok());
    host.Send("ATE1\rATI\r");
    EXPECT_EQ(host.ReadTo('>'), echo ? "ATE1\rATI\rOK\r\r>" : "OK\r\r>");
    EXPECT_EQ(host.ReadTo('>'), echo ? "ELM327 v2.2\r\r>" : kAti);
    if (echo) continue;
    // The host reads the echo, then asks again while the adapter is still busy.
    host.Send("ATE0\r");
    EXPECT_EQ(host.ReadTo('\r'), "ATE0\r");
    host.Send("ATI\r");
    EXPECT_EQ(host.ReadTo('>'), "ATI\rOK\r\r>");
    EXPECT_EQ(host.ReadTo('>'), "ELM327 v2.2\r\r>");
    EXPECT_EQ(host.Ask("ATI\r"), "ELM327 v2.2\r\r>");
    EXPECT_EQ(sim->CommandCount(), 5);
  }
}

// A clone answers "?" to every QK command and is never in download mode, even after power-on.
TEST(AdapterCoreBanner, GenericCloneAnswersQkWithAQuestionMark) {
  AdapterOptions options;
  options.generic = options.startInDownloadMode = true;
  options.banner = "OBDII v1.5";
  AdapterCore core(options, {});
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(core.Handle("ATI\r").answer, "OBDII v1.5\r\r>");
    EXPECT_EQ(core.Handle("ATZ\r").answer, "\r\rOBDII v1.5\r\r>");
    for (const char* qk :
         {"QKI", "QKPROI", "QKVERS", "QKUPDT03", "QKDLKTR558", "QKDLKTR5688", "QK DLBD 02",
          "QKDLED", "QKFL", "QKBL00", "QKVADJ v2.2", "QK UCS_ATI ELM327 v2.2"}) {
      EXPECT_EQ(core.Handle(std::string(qk) + "\r").answer, "?\r\r>") << qk;
      EXPECT_FALSE(core.InDownloadMode()) << qk;
    }
    core.PowerCycle();
  }
  // Ours with a banner shows it in its firmware; the boot loader keeps its own.
  options = {};
  options.banner = "ELM327 v2.1 custom";
  AdapterCore ours(options, {});
  EXPECT_EQ(ours.Handle("ATI\r").answer, "ELM327 v2.1 custom\r\r>");
  EXPECT_EQ(ours.Handle("QKUPDT03\r").answer, "OK\r\r>");
  EXPECT_EQ(ours.Handle("ATI\r").answer, "zOrbent boot loader\r\r>");
}

// An odd-line image never sends its trailer: "QKFL" after the end record closes it, if not strict.
TEST(AdapterCoreClose, EndRecordThenQkflClosesWithoutTheTrailerUnlessStrict) {
  const BuiltImage image = BuildLineImage({.deviceName = "KTR5577", .records = 4});
  ASSERT_EQ(image.lines.size(), 5u);
  const std::string endRecord = "QKBLFFF1" + std::string(129, '0') + "F\r";
  // A data line after the end record voids that close, as a strict adapter refuses it.
  for (const auto& [strict, lineAfterEnd] :
       {std::pair{false, false}, {true, false}, {false, true}}) {
    AdapterFaults faults;
    faults.strictClose = strict;
    AdapterCore core({}, faults);
    const auto line = [&](std::size_t i) {
      return core.Handle("QKBL" + image.lines[i].substr(2) + "\r").answer;
    };
    ASSERT_EQ(core.Handle("QKUPDT03\r").answer, "OK\r\r>");
    EXPECT_EQ(core.Handle(endRecord).answer, "OK\r>");  // nothing received yet
    EXPECT_EQ(core.Handle("QKFL\r").answer, "ERR03\r\r>");
    EXPECT_EQ(core.CloseError(), "no image received");
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(line(i), i % 2 == 0 ? "...\r>" : "OK\r>");
    EXPECT_EQ(core.Handle("QKFL\r").answer, "ERR03\r\r>");
    EXPECT_EQ(core.CloseError(), "no trailer received");
    EXPECT_EQ(core.Handle(endRecord).answer, "OK\r>");
    if (lineAfterEnd) line(0);
    const bool closes = !strict && !lineAfterEnd;
    EXPECT_EQ(core.Handle("QKFL\r").answer, closes ? "OK\r\r>" : "ERR03\r\r>");
    EXPECT_EQ(core.Flashes(), closes ? 1 : 0);
    EXPECT_EQ(core.InDownloadMode(), !closes);
    EXPECT_EQ(core.DeviceVersion(), closes ? "2.2.31" : "2.2.30");
    EXPECT_TRUE(RecordsMatchImage(core.Records(), image, false));
  }
}

// The oracle itself: a line-mode trailer without a partner is never sent, records go in order.
TEST(RecordsMatchImage, LineModeSendsPairsAndBlockModeStopsAtTheTrailer) {
  const BuiltImage odd = BuildLineImage({.records = 4});
  EXPECT_FALSE(RecordsMatchImage(odd.lines, odd, false));  // the unpartnered trailer too
  const BuiltImage blocks = test::NewerImage(5, 3);
  std::vector<std::string> sent(blocks.lines.begin(), blocks.lines.begin() + 3);
  EXPECT_TRUE(RecordsMatchImage(sent, blocks, true));
  std::swap(sent[0], sent[1]);
  EXPECT_FALSE(RecordsMatchImage(sent, blocks, true));
}

}  // namespace
}  // namespace zorbent::sim
