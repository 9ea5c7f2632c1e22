// The simulated adapter against a small scripted host that writes and reads raw bytes on the
// pseudo-terminal or socket, as the engine would, but without it. Whole updates against the
// engine are in tests/flows/.

#include "sim/adapter/adapter_simulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "port/port_config.h"
#include "port/port_factory.h"
#include "tests/support/sim_adapter.h"

namespace zorbent::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 3000;  // an answer that should come
constexpr int kQuietMs = 150;  // how long silence must last to count as no answer

// The host side of the wire: the project's own port on the pseudo-terminal or socket, read
// one byte at a time as the engine reads.
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

  // Reads until done(text) holds, the link goes down, or waitMs passes without it.
  std::string ReadUntil(const std::function<bool(const std::string&)>& done, int waitMs) {
    std::string text;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    std::uint8_t byte = 0;
    while (!done(text)) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || !port_->Read({&byte, 1}, static_cast<std::int32_t>(left))) break;
      text.push_back(static_cast<char>(byte));
    }
    return text;
  }

  // The whole reply up to the prompt (or, toLineEnd, up to the first "\r" after the echo).
  std::string Ask(std::string_view command, bool toLineEnd = false) {
    Send(command);
    const std::size_t echo = command.size();
    return ReadUntil(
        [&](const std::string& t) {
          return toLineEnd ? t.size() > echo && t.back() == '\r' : !t.empty() && t.back() == '>';
        },
        kWaitMs);
  }

  // Everything that arrives until the line has been quiet for a while.
  std::string Drain() {
    std::string all;
    for (std::uint8_t byte = 0; port_->Read({&byte, 1}, kQuietMs);)
      all.push_back(static_cast<char>(byte));
    return all;
  }

 private:
  std::unique_ptr<Port> port_;
  bool ok_ = false;
};

// The answer after the echo, without the prompt and the line ends around it.
std::string AnswerOf(const std::string& reply, std::string_view command) {
  std::string text = reply.starts_with(command) ? reply.substr(command.size()) : reply;
  while (!text.empty() && (text.back() == '>' || text.back() == '\r')) text.pop_back();
  return text;
}

bool Has(const std::string& reply, std::string_view part) {
  return reply.find(part) != std::string::npos;
}

bool IsBlock(int model) {
  return model == 5 || model == 6;
}

BuiltImage ImageFor(int model, int records = 5) {
  return test::NewerImage(model, records);
}

// One digit changed, so the check byte (line) or SUM (block) no longer fits.
std::string Corrupt(std::string line) {
  char& c = line[line.size() / 2];
  c = c == '0' ? '1' : '0';
  return line;
}

const std::string kAti = "ATI\rELM327 v2.2\r\r>";

class SimulatorTest : public ::testing::TestWithParam<int> {
 protected:
  int Model() const { return GetParam(); }
  bool Block() const { return IsBlock(Model()); }
  SimulatorOptions Options() const {
    SimulatorOptions options;
    options.adapter.model = Model();
    return options;
  }
  // Starts a simulator and connects the scripted host to it.
  void Begin(SimulatorOptions options) {
    sim_ = std::make_unique<AdapterSimulator>(std::move(options));
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    host_ = std::make_unique<Host>(sim_->ConfigString());
    ASSERT_TRUE(host_->ok()) << sim_->ConfigString();
  }
  // The command that carries a record in the model's flow.
  std::string Record(const std::string& line) const {
    return Block() ? "QKDLDT" + line + "\r" : "QKBL" + line.substr(2) + "\r";
  }
  // Opens the download, as the matching flow does, up to the first record.
  void OpenDownload() {
    if (!Block()) {
      ASSERT_TRUE(Has(host_->Ask("QKUPDT03\r"), "OK"));
      return;
    }
    const std::string command = Model() == 5 ? "QKDLKTR558\r" : "QKDLKTR5688\r";
    ASSERT_TRUE(AnswerOf(host_->Ask(command), command).starts_with("OK"));
    ASSERT_EQ(host_->Ask("QK DLBD 02\r", true), "QK DLBD 02\rOK\r");
    ASSERT_TRUE(host_->SetRate(2000000) || sim_->ConfigString().starts_with("tcp"));
    ASSERT_EQ(host_->ReadUntil([](const std::string& t) { return !t.empty() && t.back() == '\r'; },
                               kWaitMs),
              "KTR558 Update\r");
    ASSERT_TRUE(Has(host_->Ask("\r"), "OK"));
  }
  // Sends every record the flow sends and checks each acknowledgement.
  void SendImage(const BuiltImage& image) {
    for (std::size_t i = 0; i < image.lines.size(); ++i) {
      if (Block() && image.lines[i].starts_with("FFF1")) break;
      const bool pairStart = !Block() && i % 2 == 0;
      if (pairStart && i + 1 == image.lines.size()) break;  // a lone trailer has no partner
      ASSERT_TRUE(Has(host_->Ask(Record(image.lines[i])), pairStart ? "...\r" : "OK\r")) << i;
    }
  }
  std::string CloseDownload() {
    if (!Block()) return host_->Ask("QKFL\r");
    const std::string reply = host_->Ask("QKDLED\r", true);
    host_->SetRate(115200);
    return reply;
  }

  std::unique_ptr<AdapterSimulator> sim_;
  std::unique_ptr<Host> host_;
};

TEST_P(SimulatorTest, AnswersIdentificationInTheShapesTheHostParses) {
  static constexpr std::array<std::string_view, 7> kQkiPrefixes = {
      "RuvoPro v", "zOrbent MC",   "zOrbent BM",   "zOrbent FD",
      "Ruvo01 v",  "zOrbent FS v", "zOrbent FS BT"};
  SimulatorOptions options = Options();
  options.adapter.deviceVersion = "4.1.07";
  options.adapter.elmVersion = "2.1";
  options.adapter.productId = "PID-77 rev B";
  Begin(options);

  EXPECT_EQ(host_->Ask("ATE1\r"), "ATE1\rOK\r\r>");
  EXPECT_EQ(host_->Ask("ATI\r"), "ATI\rELM327 v2.1\r\r>");
  const std::string qki = AnswerOf(host_->Ask("QKI\r"), "QKI\r");
  EXPECT_TRUE(qki.starts_with(kQkiPrefixes[static_cast<std::size_t>(Model())])) << qki;
  EXPECT_EQ(AnswerOf(host_->Ask("QKPROI\r"), "QKPROI\r"), "PID-77 rev B");
  const std::string vers = AnswerOf(host_->Ask("QKVERS\r"), "QKVERS\r");
  switch (Model()) {
    case 0:
    case 4:
      EXPECT_EQ(vers, "RuvoXX V4.1.07");
      EXPECT_TRUE(qki.ends_with("v2.1")) << qki;  // the announced ELM327 level
      break;
    case 5:
      EXPECT_EQ(vers, "KTR558 V4.1.07");
      EXPECT_TRUE(qki.ends_with("v4.1.07")) << qki;
      break;
    case 6:
      EXPECT_TRUE(vers.starts_with("KTR568")) << vers;
      EXPECT_TRUE(vers.ends_with("V4.1.07")) << vers;
      break;
    default:
      EXPECT_TRUE(vers.ends_with(" V2.1")) << vers;  // short: the host adjusts from it
      EXPECT_TRUE(qki.ends_with("v4.1.07")) << qki;
  }
  EXPECT_EQ(sim_->DeviceVersion(), "4.1.07");

  // The announced ELM327 version is adjusted by the command of the model's family.
  if (Model() == 0 || Model() == 4) {
    EXPECT_TRUE(Has(host_->Ask("QKVADJ v2.3\r"), "ELM327"));
  } else {
    EXPECT_TRUE(Has(host_->Ask("QK UCS_ATI ELM327 v2.3\r"), "OK"));
  }
  EXPECT_EQ(host_->Ask("ATI\r"), "ATI\rELM327 v2.3\r\r>");
  EXPECT_EQ(sim_->ElmVersion(), "2.3");
  EXPECT_EQ(host_->Ask("QKNONSENSE\r"), "QKNONSENSE\r?\r\r>");
  EXPECT_EQ(host_->Ask("ATE0\r"), "ATE0\rOK\r\r>");  // echoed before the echo goes off
  EXPECT_EQ(host_->Ask("ATI\r"), "ELM327 v2.3\r\r>");

  // Each exchange is in the transcript with its rate, in order.
  const std::vector<TranscriptEntry> entries = sim_->Transcript();
  ASSERT_EQ(entries.size(), 10u);
  EXPECT_EQ(entries[1].command, "ATI\r");
  EXPECT_EQ(entries[1].answer, "ATI\rELM327 v2.1\r\r>");
  EXPECT_EQ(entries[1].rate, 115200);
  EXPECT_LE(entries[1].seconds, entries[2].seconds);
  EXPECT_TRUE(Has(sim_->TranscriptText(), "ATI\\r"));
}

TEST_P(SimulatorTest, InDownloadModeItGivesNoModelAnswer) {
  SimulatorOptions options = Options();
  options.adapter.startInDownloadMode = true;
  Begin(options);
  EXPECT_TRUE(sim_->InDownloadMode());
  EXPECT_FALSE(Has(host_->Ask("ATI\r"), "ELM327 "));
  const std::string vers = AnswerOf(host_->Ask("QKVERS\r"), "QKVERS\r");
  EXPECT_FALSE(vers.starts_with("KTR5")) << vers;
  // The block flow tries the first model's download command, then the second.
  if (Block()) {
    const bool first = Model() == 5;
    EXPECT_EQ(AnswerOf(host_->Ask("QKDLKTR558\r"), "QKDLKTR558\r").starts_with("OK"), first);
    EXPECT_EQ(AnswerOf(host_->Ask("QKDLKTR5688\r"), "QKDLKTR5688\r").starts_with("OK"), !first);
  } else {
    EXPECT_TRUE(Has(host_->Ask("QKUPDT03\r"), "OK"));
  }
}

// A complete download on a pseudo-terminal, over TCP, and with the paced link model.
TEST_P(SimulatorTest, TakesACompleteDownloadAsNewFirmwareOnEveryLink) {
  for (const int link : {0, 1, 2}) {
    SCOPED_TRACE(link);
    SimulatorOptions options = Options();
    options.tcp = link == 1;
    options.linkModel = link == 2;
    options.processingUs = link == 2 ? 100 : 0;
    Begin(options);
    if (options.tcp) {
      ASSERT_TRUE(sim_->ConfigString().starts_with("tcp|127.0.0.1:"));
      EXPECT_EQ(host_->Ask("ATI\r"), kAti);
      // A WiFi adapter takes one host at a time; a new connection replaces the old.
      host_ = std::make_unique<Host>(sim_->ConfigString());
      ASSERT_TRUE(host_->ok());
    }
    const BuiltImage image = ImageFor(Model(), link == 0 ? 5 : 3);
    ASSERT_TRUE(image.ok()) << image.error;
    const std::string before = sim_->DeviceVersion();
    OpenDownload();
    SendImage(image);
    EXPECT_TRUE(Has(CloseDownload(), "OK"));
    EXPECT_EQ(sim_->Flashes(), 1);
    EXPECT_FALSE(sim_->InDownloadMode());
    EXPECT_TRUE(RecordsMatchImage(sim_->Records(), image, Block()));
    if (Block()) {
      EXPECT_NE(sim_->DeviceVersion(), before);  // the old version raised by one
      EXPECT_TRUE(Has(host_->Ask("QKVERS\r"), sim_->DeviceVersion()));
    } else {
      // The trailer's version text.
      EXPECT_EQ(sim_->DeviceVersion(), Model() == 0 || Model() == 4 ? "4.0.1X" : "2.2.3X");
    }
  }
}

TEST_P(SimulatorTest, AsksForACorruptedRecordAgainAndTakesTheSoundOne) {
  Begin(Options());
  const BuiltImage image = ImageFor(Model());
  OpenDownload();
  EXPECT_TRUE(Has(host_->Ask(Record(Corrupt(image.lines[0]))), Block() ? "ERR02\r" : "RepPack\r"));
  EXPECT_TRUE(Has(host_->Ask(Record(image.lines[0])), Block() ? "OK\r" : "...\r"));
  if (Block()) {
    // A refused record leaves a gap: the download ends, but nothing is flashed.
    EXPECT_TRUE(Has(CloseDownload(), "OK\r"));
    EXPECT_EQ(sim_->Flashes(), 0);
    EXPECT_TRUE(sim_->InDownloadMode());
  }
}

TEST_P(SimulatorTest, RefusesToCloseADownloadWithoutItsTrailerOrForAnotherModel) {
  Begin(Options());
  OpenDownload();
  if (Block()) {
    EXPECT_FALSE(Has(CloseDownload(), "OK"));  // no record at all
    EXPECT_EQ(sim_->Flashes(), 0);
    return;
  }
  // Four data lines sent, the trailer (fifth line) never: the image cannot be checked.
  const BuiltImage image = ImageFor(Model(), 4);
  for (std::size_t i = 0; i < 4; ++i) host_->Ask(Record(image.lines[i]));
  EXPECT_FALSE(Has(AnswerOf(host_->Ask("QKFL\r"), "QKFL\r"), "OK"));
  LineImageOptions other;
  other.deviceName = Model() == 1 ? "KTR5577" : "KTR5575";
  other.records = 1;
  const BuiltImage foreign = BuildLineImage(other);
  OpenDownload();
  host_->Ask(Record(foreign.lines[0]));
  host_->Ask(Record(foreign.lines[1]));
  EXPECT_FALSE(Has(AnswerOf(host_->Ask("QKFL\r"), "QKFL\r"), "OK"));
  EXPECT_EQ(sim_->Flashes(), 0);
}

TEST_P(SimulatorTest, RecordFaultsAskForRepeatsAndAPairStartsOverFromItsFirstLine) {
  const BuiltImage image = ImageFor(Model());
  SimulatorOptions options = Options();
  options.faults.repPack[1] = 2;
  options.faults.repBlock[2] = 1;
  Begin(options);
  OpenDownload();
  const std::string first = Record(image.lines[0]);
  const std::string second = Record(image.lines[1]);
  const char* repeat = Block() ? "ERR01\r" : "RepPack\r";
  EXPECT_TRUE(Has(host_->Ask(first), repeat));
  EXPECT_TRUE(Has(host_->Ask(first), repeat));
  if (Block()) {
    EXPECT_TRUE(Has(host_->Ask(first), "OK\r"));
    EXPECT_TRUE(Has(host_->Ask(second), "ERR01\r"));
    return;
  }
  EXPECT_TRUE(Has(host_->Ask(first), "...\r"));
  EXPECT_TRUE(Has(host_->Ask(second), "RepBlock\r"));
  EXPECT_TRUE(Has(host_->Ask(first), "...\r"));
  EXPECT_TRUE(Has(host_->Ask(first), "...\r"));  // a repeated first line restarts its pair
  EXPECT_TRUE(Has(host_->Ask(second), "OK\r"));
  EXPECT_EQ(sim_->Records(),
            std::vector<std::string>(image.lines.begin(), image.lines.begin() + 2));
}

INSTANTIATE_TEST_SUITE_P(AllModels, SimulatorTest, ::testing::Range(0, kModelCount),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(ModelName(info.param));
                         });

// Link behaviours belong to the wire, not the model: one line and one block model each.
using LinkTest = SimulatorTest;

TEST_P(LinkTest, AnswersWithGarbageWhenTheHostRunsAtAnotherRate) {
  Begin(Options());
  ASSERT_TRUE(host_->SetRate(9600));
  host_->Send("ATI\r");
  const std::string noise = host_->Drain();
  EXPECT_FALSE(noise.empty());
  EXPECT_FALSE(Has(noise, ">") || Has(noise, "ELM327"));
  ASSERT_TRUE(host_->SetRate(115200));
  EXPECT_EQ(host_->Ask("ATI\r"), kAti);
  // A host that ends commands with CR LF: the LF is dropped, as an ELM327 drops it, and never
  // becomes the first character of the next command (its echo would show it), even when it
  // comes in a write of its own after the answer.
  Begin(Options());
  EXPECT_EQ(host_->Ask("ATI\r\n"), kAti);
  EXPECT_EQ(host_->Ask("ATI\r"), kAti);
  host_->Send("\n");
  EXPECT_EQ(host_->Drain(), "");
  EXPECT_EQ(host_->Ask("ATI\r"), kAti);
}

// Noise in the answers: NUL bytes and stray line ends, bytes after the prompt, a flood that
// never ends in one.
TEST_P(LinkTest, NoisyAnswers) {
  SimulatorOptions options = Options();
  options.link.nulBytes = true;
  Begin(options);
  const std::string reply = host_->Ask("ATI\r");
  EXPECT_NE(reply.find('\0'), std::string::npos);
  EXPECT_TRUE(Has(reply, "\r\n>"));
  std::string clean;
  for (const char c : reply)
    if (c != '\0' && c != '\n') clean.push_back(c);
  EXPECT_EQ(clean, "ATI\rELM327 v2.2\r\r\r>");

  options = Options();
  options.link.garbageAfterPrompt = true;
  Begin(options);
  host_->Send("ATI\r");
  std::string all = host_->Drain();
  ASSERT_NE(all.find('>'), std::string::npos);
  EXPECT_GT(all.size(), all.find('>') + 1);

  options = Options();
  options.link.floodWithoutPrompt = true;
  Begin(options);
  host_->Send("ATI\r");
  all = host_->Drain();
  EXPECT_GT(all.size(), 2048u);  // more than the host's largest reply buffer
  EXPECT_FALSE(Has(all, ">"));
}

INSTANTIATE_TEST_SUITE_P(LineAndBlock, LinkTest, ::testing::Values(2, 5),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(ModelName(info.param));
                         });

TEST(RecordsMatchImage, LineModeSendsPairsAndBlockModeStopsAtTheTrailer) {
  LineImageOptions line;
  line.records = 4;  // five lines: the trailer has no partner
  const BuiltImage odd = BuildLineImage(line);
  ASSERT_EQ(odd.lines.size(), 5u);
  std::vector<std::string> records(odd.lines.begin(), odd.lines.begin() + 4);
  EXPECT_TRUE(RecordsMatchImage(records, odd, false));
  records.push_back(odd.lines[4]);
  EXPECT_FALSE(RecordsMatchImage(records, odd, false));

  BlockImageOptions block;
  block.records = 3;
  const BuiltImage blocks = BuildBlockImage(block);
  std::vector<std::string> sent(blocks.lines.begin(), blocks.lines.begin() + 3);
  EXPECT_TRUE(RecordsMatchImage(sent, blocks, true));
  std::swap(sent[0], sent[1]);
  EXPECT_FALSE(RecordsMatchImage(sent, blocks, true));
}

TEST(AdapterSimulatorLife, StopsAtAnyTime) {
  { AdapterSimulator never{SimulatorOptions{}}; }
  AdapterSimulator sim{SimulatorOptions{}};
  EXPECT_EQ(sim.ConfigString(), "");
  ASSERT_TRUE(sim.Start());
  EXPECT_FALSE(sim.Start());
  sim.Stop();
  sim.Stop();
  SimulatorOptions tcp;
  tcp.tcp = true;
  tcp.tcpPort = 70000;
  AdapterSimulator bad{tcp};
  std::string error;
  EXPECT_FALSE(bad.Start(&error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace zorbent::sim
