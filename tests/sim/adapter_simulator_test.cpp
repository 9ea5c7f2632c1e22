// The simulated adapter against a small scripted host that writes and reads raw bytes on the
// pseudo-terminal or socket, as the engine would, but without it: what the engine never sends
// or cannot see (corrupted records, wrong rates, noise). Whole updates of every model against
// the engine are in tests/flows/.

#include "sim/adapter/adapter_simulator.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "port/port_config.h"
#include "port/port_factory.h"
#include "tests/support/sim_adapter.h"

namespace zorbent::sim {
namespace {

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

  // What arrives up to `last` found past the first `from` bytes, or before the line goes quiet.
  std::string ReadTo(char last, std::size_t from = 0) {
    std::string text;
    for (std::uint8_t byte = 0; port_->Read({&byte, 1}, kWaitMs);) {
      text.push_back(static_cast<char>(byte));
      if (byte == last && text.size() > from) break;
    }
    return text;
  }

  // The whole reply up to the prompt (or, toLineEnd, up to the first "\r" after the echo).
  std::string Ask(std::string_view command, bool toLineEnd = false) {
    Send(command);
    return toLineEnd ? ReadTo('\r', command.size()) : ReadTo('>');
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

// One line-mode and one block-mode model.
class SimulatorTest : public ::testing::TestWithParam<int> {
 protected:
  int Model() const { return GetParam(); }
  bool Block() const { return Model() == 5; }
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
    ASSERT_TRUE(AnswerOf(host_->Ask("QKDLKTR558\r"), "QKDLKTR558\r").starts_with("OK"));
    ASSERT_EQ(host_->Ask("QK DLBD 02\r", true), "QK DLBD 02\rOK\r");
    ASSERT_TRUE(host_->SetRate(2000000) || sim_->ConfigString().starts_with("tcp"));
    ASSERT_EQ(host_->ReadTo('\r'), "KTR558 Update\r");
    ASSERT_TRUE(Has(host_->Ask("\r"), "OK"));
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

// A WiFi adapter takes one host at a time; a new connection replaces the old.
TEST_P(SimulatorTest, OverTcpANewHostReplacesTheOld) {
  SimulatorOptions options = Options();
  options.tcp = true;
  Begin(options);
  ASSERT_TRUE(sim_->ConfigString().starts_with("tcp|127.0.0.1:"));
  EXPECT_EQ(host_->Ask("ATI\r"), kAti);
  host_ = std::make_unique<Host>(sim_->ConfigString());
  ASSERT_TRUE(host_->ok());
  EXPECT_EQ(host_->Ask("ATI\r"), kAti);
}

TEST_P(SimulatorTest, AnswersWithGarbageWhenTheHostRunsAtAnotherRate) {
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
TEST_P(SimulatorTest, NoisyAnswers) {
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

INSTANTIATE_TEST_SUITE_P(LineAndBlock, SimulatorTest, ::testing::Values(2, 5),
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

}  // namespace
}  // namespace zorbent::sim
