// The simulated adapter against a small scripted host that writes and reads raw bytes on the
// pseudo-terminal or socket, as the engine would, but without it.

#include "sim/adapter/adapter_simulator.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/serial_device.h"

namespace zorbent::sim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 3000;  // an answer that should come
constexpr int kQuietMs = 150;  // how long silence must last to count as no answer

// The host side of the wire: a serial device on the pseudo-terminal, or a TCP client.
class Host {
 public:
  explicit Host(const std::string& config) {
    const std::size_t bar = config.find('|');
    const std::size_t colon = config.rfind(':');
    const std::string mode = config.substr(0, bar);
    const std::string name = config.substr(bar + 1, colon - bar - 1);
    const int number = std::stoi(config.substr(colon + 1));
    if (mode == "com") {
      serial_ = std::make_unique<SerialDevice>();
      ok_ = serial_->Open(name, number);
      return;
    }
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(number));
    ::inet_pton(AF_INET, name.c_str(), &address.sin_addr);
    ok_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Host() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool ok() const { return ok_; }
  bool SetRate(std::int32_t rate) { return serial_ && serial_->SetRate(rate); }

  void Send(std::string_view text) {
    if (serial_) serial_->Flush();
    pending_.clear();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    std::size_t done = 0;
    while (done < text.size()) {
      int n = 0;
      if (serial_) {
        n = serial_->WriteSome(std::span(bytes + done, text.size() - done), kWaitMs);
      } else {
        n = static_cast<int>(::send(fd_, bytes + done, text.size() - done, MSG_NOSIGNAL));
      }
      ASSERT_GT(n, 0) << "write failed";
      done += static_cast<std::size_t>(n);
    }
  }

  // Reads until done(text) holds, the link goes down, or waitMs passes without it.
  std::string ReadUntil(const std::function<bool(const std::string&)>& done, int waitMs) {
    std::string text;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    std::array<std::uint8_t, 512> buffer{};
    // Bytes past the point where done() holds stay for the next read.
    auto take = [&] {
      std::size_t used = 0;
      while (used < pending_.size() && !done(text)) text.push_back(pending_[used++]);
      pending_.erase(0, used);
    };
    take();
    while (!done(text)) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      int n = 0;
      if (serial_) {
        n = serial_->ReadSome(buffer, static_cast<std::int32_t>(left));
      } else {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        n = static_cast<int>(::recv(fd_, buffer.data(), buffer.size(), 0));
        if (n == 0) n = -1;
      }
      if (n < 0) {
        hungUp_ = true;
        break;
      }
      pending_.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
      take();
    }
    return text;
  }

  // The whole reply to a command up to the prompt (or, toLineEnd, up to the first "\r" after
  // the echo), the echo included.
  std::string Ask(std::string_view command, bool toLineEnd = false) {
    Send(command);
    const std::size_t echo = command.size();
    return ReadUntil(
        [&](const std::string& t) {
          if (toLineEnd) return t.size() > echo && t.back() == '\r';
          return !t.empty() && t.back() == '>';
        },
        kWaitMs);
  }

  // Everything that arrives until the line has been quiet for a while.
  std::string Drain() {
    std::string all;
    while (true) {
      const std::string more = ReadUntil([](const std::string& t) { return !t.empty(); }, kQuietMs);
      if (more.empty()) return all;
      all += more;
    }
  }

  bool HungUp() const { return hungUp_; }

 private:
  std::unique_ptr<SerialDevice> serial_;
  int fd_ = -1;
  bool ok_ = false;
  bool hungUp_ = false;
  std::string pending_;
};

// The answer after the echo, without the prompt and the line ends around it.
std::string AnswerOf(const std::string& reply, std::string_view command) {
  std::string text = reply.starts_with(command) ? reply.substr(command.size()) : reply;
  while (!text.empty() && (text.back() == '>' || text.back() == '\r')) text.pop_back();
  return text;
}

bool IsBlock(int model) {
  return model == 5 || model == 6;
}

// "QKI" prefixes the host accepts for each model.
std::string_view QkiPrefix(int model) {
  static constexpr std::array<std::string_view, 7> kPrefixes = {
      "RuvoPro v", "zOrbent MC",   "zOrbent BM",   "zOrbent FD",
      "Ruvo01 v",  "zOrbent FS v", "zOrbent FS BT"};
  return kPrefixes[static_cast<std::size_t>(model)];
}

BuiltImage ImageFor(int model, int records = 5) {
  if (IsBlock(model)) {
    BlockImageOptions options;
    options.records = records;
    options.recordLen = 32;
    options.deviceName = model == 5 ? "zOrbent FS v2.0" : "zOrbent FS BT v2.0";
    return BuildBlockImage(options);
  }
  LineImageOptions options;
  options.records = records;
  options.deviceName = std::string(ModelName(model));
  options.versionText = "V7.7.7X";
  return BuildLineImage(options);
}

std::string LineCommand(const std::string& line) {
  return "QKBL" + line.substr(2) + "\r";
}
std::string BlockCommand(const std::string& line) {
  return "QKDLDT" + line + "\r";
}

// One digit changed, so the check byte (line) or SUM (block) no longer fits.
std::string Corrupt(std::string line) {
  char& c = line[line.size() / 2];
  c = c == '0' ? '1' : '0';
  return line;
}

class SimulatorTest : public ::testing::TestWithParam<int> {
 protected:
  int Model() const { return GetParam(); }

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

  // Opens the download, as the matching flow does, up to the first record.
  void OpenDownload() {
    if (!IsBlock(Model())) {
      ASSERT_NE(host_->Ask("QKUPDT03\r").find("OK"), std::string::npos);
      return;
    }
    const std::string command = Model() == 5 ? "QKDLKTR558\r" : "QKDLKTR5688\r";
    ASSERT_TRUE(AnswerOf(host_->Ask(command), command).starts_with("OK"));
    ASSERT_EQ(host_->Ask("QK DLBD 02\r", true), "QK DLBD 02\rOK\r");
    ASSERT_TRUE(host_->SetRate(2000000) || sim_->ConfigString().starts_with("tcp"));
    const std::string banner = host_->ReadUntil(
        [](const std::string& t) { return !t.empty() && t.back() == '\r'; }, kWaitMs);
    ASSERT_EQ(banner, "KTR558 Update\r");
    ASSERT_NE(host_->Ask("\r").find("OK"), std::string::npos);
  }

  // Sends every record the flow sends and checks each acknowledgement.
  void SendImage(const BuiltImage& image) {
    if (IsBlock(Model())) {
      for (const std::string& line : image.lines) {
        if (line.starts_with("FFF1")) break;
        ASSERT_NE(host_->Ask(BlockCommand(line)).find("OK\r"), std::string::npos);
      }
      return;
    }
    for (std::size_t i = 0; i + 1 < image.lines.size(); i += 2) {
      ASSERT_NE(host_->Ask(LineCommand(image.lines[i])).find("...\r"), std::string::npos);
      ASSERT_NE(host_->Ask(LineCommand(image.lines[i + 1])).find("OK\r"), std::string::npos);
    }
  }

  std::string CloseDownload() {
    if (IsBlock(Model())) {
      const std::string reply = host_->Ask("QKDLED\r", true);
      host_->SetRate(115200);
      return reply;
    }
    return host_->Ask("QKFL\r");
  }

  std::string FirstRecordCommand(const BuiltImage& image) const {
    return IsBlock(Model()) ? BlockCommand(image.lines[0]) : LineCommand(image.lines[0]);
  }

  std::unique_ptr<AdapterSimulator> sim_;
  std::unique_ptr<Host> host_;
};

TEST_P(SimulatorTest, AnswersIdentificationInTheShapesTheHostParses) {
  SimulatorOptions options = Options();
  options.adapter.deviceVersion = "4.1.07";
  options.adapter.elmVersion = "2.1";
  options.adapter.productId = "PID-77 rev B";
  Begin(options);

  EXPECT_EQ(host_->Ask("ATE1\r"), "ATE1\rOK\r\r>");
  EXPECT_EQ(host_->Ask("ATI\r"), "ATI\rELM327 v2.1\r\r>");
  const std::string qki = AnswerOf(host_->Ask("QKI\r"), "QKI\r");
  EXPECT_TRUE(qki.starts_with(QkiPrefix(Model()))) << qki;
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
    EXPECT_NE(host_->Ask("QKVADJ v2.3\r").find("ELM327"), std::string::npos);
  } else {
    EXPECT_NE(host_->Ask("QK UCS_ATI ELM327 v2.3\r").find("OK"), std::string::npos);
  }
  EXPECT_EQ(host_->Ask("ATI\r"), "ATI\rELM327 v2.3\r\r>");
  EXPECT_EQ(sim_->ElmVersion(), "2.3");

  EXPECT_EQ(host_->Ask("QKNONSENSE\r"), "QKNONSENSE\r?\r\r>");
  EXPECT_EQ(host_->Ask("ATE0\r"), "ATE0\rOK\r\r>");  // echoed before the echo goes off
  EXPECT_EQ(host_->Ask("ATI\r"), "ELM327 v2.3\r\r>");
}

TEST_P(SimulatorTest, InDownloadModeItGivesNoModelAnswer) {
  SimulatorOptions options = Options();
  options.adapter.startInDownloadMode = true;
  Begin(options);
  EXPECT_TRUE(sim_->InDownloadMode());
  EXPECT_EQ(host_->Ask("ATI\r").find("ELM327 "), std::string::npos);
  const std::string vers = AnswerOf(host_->Ask("QKVERS\r"), "QKVERS\r");
  EXPECT_FALSE(vers.starts_with("KTR5")) << vers;
  // The block flow tries the first model's download command, then the second.
  if (IsBlock(Model())) {
    const bool first = Model() == 5;
    EXPECT_EQ(AnswerOf(host_->Ask("QKDLKTR558\r"), "QKDLKTR558\r").starts_with("OK"), first);
    EXPECT_EQ(AnswerOf(host_->Ask("QKDLKTR5688\r"), "QKDLKTR5688\r").starts_with("OK"), !first);
  } else {
    EXPECT_NE(host_->Ask("QKUPDT03\r").find("OK"), std::string::npos);
  }
}

TEST_P(SimulatorTest, TakesACompleteDownloadAsNewFirmware) {
  Begin(Options());
  const BuiltImage image = ImageFor(Model());
  ASSERT_TRUE(image.ok()) << image.error;
  const std::string before = sim_->DeviceVersion();
  OpenDownload();
  SendImage(image);
  const std::string closed = CloseDownload();
  EXPECT_NE(closed.find("OK"), std::string::npos) << closed;
  EXPECT_EQ(sim_->Flashes(), 1);
  EXPECT_FALSE(sim_->InDownloadMode());
  EXPECT_TRUE(RecordsMatchImage(sim_->Records(), image, IsBlock(Model())));
  if (IsBlock(Model())) {
    EXPECT_NE(sim_->DeviceVersion(), before);  // the old version raised by one
    EXPECT_NE(AnswerOf(host_->Ask("QKVERS\r"), "QKVERS\r").find(sim_->DeviceVersion()),
              std::string::npos);
  } else {
    EXPECT_EQ(sim_->DeviceVersion(), "7.7.7X");  // the trailer's version text
  }
}

TEST_P(SimulatorTest, AsksForACorruptedRecordAgainAndTakesTheSoundOne) {
  Begin(Options());
  const BuiltImage image = ImageFor(Model());
  OpenDownload();
  const std::string bad = IsBlock(Model()) ? BlockCommand(Corrupt(image.lines[0]))
                                           : LineCommand(Corrupt(image.lines[0]));
  const std::string refusal = IsBlock(Model()) ? "ERR02\r" : "RepPack\r";
  EXPECT_NE(host_->Ask(bad).find(refusal), std::string::npos);
  EXPECT_NE(host_->Ask(FirstRecordCommand(image)).find(IsBlock(Model()) ? "OK\r" : "...\r"),
            std::string::npos);
  if (IsBlock(Model())) {
    // A refused record leaves a gap: the download ends, but nothing is flashed.
    EXPECT_NE(CloseDownload().find("OK\r"), std::string::npos);
    EXPECT_EQ(sim_->Flashes(), 0);
    EXPECT_TRUE(sim_->InDownloadMode());
  }
}

TEST_P(SimulatorTest, RefusesToCloseADownloadWithoutItsTrailer) {
  Begin(Options());
  if (IsBlock(Model())) {
    OpenDownload();
    EXPECT_EQ(CloseDownload().find("OK"), std::string::npos);  // no record at all
    EXPECT_EQ(sim_->Flashes(), 0);
    return;
  }
  // Four data lines sent, the trailer (fifth line) never: the image cannot be checked.
  const BuiltImage image = ImageFor(Model(), 4);
  OpenDownload();
  for (std::size_t i = 0; i < 4; i += 2) {
    host_->Ask(LineCommand(image.lines[i]));
    host_->Ask(LineCommand(image.lines[i + 1]));
  }
  EXPECT_EQ(AnswerOf(host_->Ask("QKFL\r"), "QKFL\r").find("OK"), std::string::npos);
  // A file for another model is refused at the close as well.
  LineImageOptions other;
  other.deviceName = Model() == 1 ? "KTR5577" : "KTR5575";
  other.records = 1;
  const BuiltImage foreign = BuildLineImage(other);
  OpenDownload();
  host_->Ask(LineCommand(foreign.lines[0]));
  host_->Ask(LineCommand(foreign.lines[1]));
  EXPECT_EQ(AnswerOf(host_->Ask("QKFL\r"), "QKFL\r").find("OK"), std::string::npos);
  EXPECT_EQ(sim_->Flashes(), 0);
}

TEST_P(SimulatorTest, AnswersWithGarbageWhenTheHostRunsAtAnotherRate) {
  Begin(Options());
  ASSERT_TRUE(host_->SetRate(9600));
  host_->Send("ATI\r");
  const std::string noise = host_->Drain();
  EXPECT_FALSE(noise.empty());
  EXPECT_EQ(noise.find('>'), std::string::npos);
  EXPECT_EQ(noise.find("ELM327"), std::string::npos);
  ASSERT_TRUE(host_->SetRate(115200));
  EXPECT_EQ(host_->Ask("ATI\r"), "ATI\rELM327 v2.2\r\r>");
}

TEST_P(SimulatorTest, SilentAdapterNeverAnswers) {
  SimulatorOptions options = Options();
  options.link.silent = true;
  Begin(options);
  host_->Send("ATI\r");
  EXPECT_EQ(host_->Drain(), "");
  EXPECT_EQ(sim_->CommandCount(), 1);
}

TEST_P(SimulatorTest, LosesTheAnswerOfTheChosenCommandOnce) {
  SimulatorOptions options = Options();
  options.link.loseAnswerAt = 2;
  Begin(options);
  EXPECT_EQ(host_->Ask("ATI\r"), "ATI\rELM327 v2.2\r\r>");
  host_->Send("ATI\r");
  EXPECT_EQ(host_->Drain(), "");
  EXPECT_EQ(host_->Ask("ATI\r"), "ATI\rELM327 v2.2\r\r>");
}

TEST_P(SimulatorTest, SplitAnswersArriveWhole) {
  SimulatorOptions options = Options();
  options.link.splitAnswers = true;
  Begin(options);
  EXPECT_EQ(host_->Ask("ATI\r"), "ATI\rELM327 v2.2\r\r>");
}

TEST_P(SimulatorTest, NoisyAnswersCarryNulBytesAndStrayLineEnds) {
  SimulatorOptions options = Options();
  options.link.nulBytes = true;
  Begin(options);
  const std::string reply = host_->Ask("ATI\r");
  EXPECT_NE(reply.find('\0'), std::string::npos);
  EXPECT_NE(reply.find("\r\n>"), std::string::npos);
  std::string clean;
  for (const char c : reply)
    if (c != '\0' && c != '\n') clean.push_back(c);
  EXPECT_EQ(clean, "ATI\rELM327 v2.2\r\r\r>");
}

TEST_P(SimulatorTest, GarbageFollowsThePrompt) {
  SimulatorOptions options = Options();
  options.link.garbageAfterPrompt = true;
  Begin(options);
  host_->Send("ATI\r");
  const std::string all = host_->Drain();
  const std::size_t prompt = all.find('>');
  ASSERT_NE(prompt, std::string::npos);
  EXPECT_GT(all.size(), prompt + 1);
}

TEST_P(SimulatorTest, FloodNeverEndsInAPrompt) {
  SimulatorOptions options = Options();
  options.link.floodWithoutPrompt = true;
  Begin(options);
  host_->Send("ATI\r");
  const std::string all = host_->Drain();
  EXPECT_GT(all.size(), 2048u);  // more than the host's largest reply buffer
  EXPECT_EQ(all.find('>'), std::string::npos);
}

TEST_P(SimulatorTest, RecordFaultsAskForRepeatsAndThenTakeTheRecord) {
  const BuiltImage image = ImageFor(Model());
  SimulatorOptions options = Options();
  options.faults.repPack[1] = 2;
  options.faults.repBlock[2] = 1;
  Begin(options);
  OpenDownload();
  const std::string first = FirstRecordCommand(image);
  const std::string repeat = IsBlock(Model()) ? "ERR01\r" : "RepPack\r";
  EXPECT_NE(host_->Ask(first).find(repeat), std::string::npos);
  EXPECT_NE(host_->Ask(first).find(repeat), std::string::npos);
  if (IsBlock(Model())) {
    EXPECT_NE(host_->Ask(first).find("OK\r"), std::string::npos);
    EXPECT_NE(host_->Ask(BlockCommand(image.lines[1])).find("ERR01\r"), std::string::npos);
  } else {
    EXPECT_NE(host_->Ask(first).find("...\r"), std::string::npos);
    EXPECT_NE(host_->Ask(LineCommand(image.lines[1])).find("RepBlock\r"), std::string::npos);
    // The pair starts over from its first line.
    EXPECT_NE(host_->Ask(first).find("...\r"), std::string::npos);
    EXPECT_NE(host_->Ask(LineCommand(image.lines[1])).find("OK\r"), std::string::npos);
    EXPECT_EQ(sim_->Records().size(), 2u);
  }
}

TEST_P(SimulatorTest, RepeatedFirstLineRestartsItsPair) {
  if (IsBlock(Model())) GTEST_SKIP() << "line mode sends pairs";
  Begin(Options());
  const BuiltImage image = ImageFor(Model());
  OpenDownload();
  EXPECT_NE(host_->Ask(LineCommand(image.lines[0])).find("...\r"), std::string::npos);
  EXPECT_NE(host_->Ask(LineCommand(image.lines[0])).find("...\r"), std::string::npos);
  EXPECT_NE(host_->Ask(LineCommand(image.lines[1])).find("OK\r"), std::string::npos);
  EXPECT_EQ(sim_->Records(),
            std::vector<std::string>(image.lines.begin(), image.lines.begin() + 2));
}

TEST_P(SimulatorTest, Err02RejectsTheRecord) {
  const BuiltImage image = ImageFor(Model());
  SimulatorOptions options = Options();
  options.faults.err02[1] = 1;
  Begin(options);
  OpenDownload();
  EXPECT_NE(host_->Ask(FirstRecordCommand(image)).find("ERR02\r"), std::string::npos);
}

TEST_P(SimulatorTest, DisconnectHangsUpAtTheChosenRecord) {
  const BuiltImage image = ImageFor(Model());
  SimulatorOptions options = Options();
  options.faults.disconnectAtRecord = 1;
  Begin(options);
  OpenDownload();
  host_->Send(FirstRecordCommand(image));
  host_->ReadUntil([](const std::string&) { return false; }, 1000);
  EXPECT_TRUE(host_->HungUp());
}

TEST_P(SimulatorTest, PowerLossRestartsInDownloadModeWithoutThePartialImage) {
  const BuiltImage image = ImageFor(Model());
  SimulatorOptions options = Options();
  options.faults.powerLossAtRecord = 3;
  Begin(options);
  OpenDownload();
  for (int i = 0; i < 2; ++i) {
    const std::string& line = image.lines[static_cast<std::size_t>(i)];
    host_->Ask(IsBlock(Model()) ? BlockCommand(line) : LineCommand(line));
  }
  host_->Send(IsBlock(Model()) ? BlockCommand(image.lines[2]) : LineCommand(image.lines[2]));
  EXPECT_EQ(host_->Drain(), "");
  EXPECT_TRUE(sim_->InDownloadMode());
  EXPECT_TRUE(sim_->Records().empty());
  if (IsBlock(Model())) host_->SetRate(115200);  // the loader restarts at the normal rate
  EXPECT_EQ(host_->Ask("ATI\r").find("ELM327 "), std::string::npos);

  // The same on request, from application mode.
  sim_->PowerLoss();
  EXPECT_TRUE(sim_->InDownloadMode());
}

TEST_P(SimulatorTest, ServesOverTcp) {
  SimulatorOptions options = Options();
  options.tcp = true;
  Begin(options);
  ASSERT_TRUE(sim_->ConfigString().starts_with("tcp|127.0.0.1:"));
  EXPECT_EQ(host_->Ask("ATI\r"), "ATI\rELM327 v2.2\r\r>");
  // A WiFi adapter takes one host at a time; a new connection replaces the old.
  host_ = std::make_unique<Host>(sim_->ConfigString());
  ASSERT_TRUE(host_->ok());
  EXPECT_EQ(host_->Ask("ATI\r"), "ATI\rELM327 v2.2\r\r>");
  const BuiltImage image = ImageFor(Model(), 3);
  OpenDownload();
  SendImage(image);
  EXPECT_NE(CloseDownload().find("OK"), std::string::npos);
  EXPECT_EQ(sim_->Flashes(), 1);
}

TEST_P(SimulatorTest, LinkModelStillServesADownload) {
  SimulatorOptions options = Options();
  options.linkModel = true;
  options.processingUs = 100;
  Begin(options);
  const BuiltImage image = ImageFor(Model(), 3);
  OpenDownload();
  SendImage(image);
  EXPECT_NE(CloseDownload().find("OK"), std::string::npos);
  EXPECT_EQ(sim_->Flashes(), 1);
}

TEST_P(SimulatorTest, TranscriptRecordsEachExchangeWithItsRate) {
  Begin(Options());
  host_->Ask("ATI\r");
  host_->Ask("QKI\r");
  const std::vector<TranscriptEntry> entries = sim_->Transcript();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].command, "ATI\r");
  EXPECT_EQ(entries[0].answer, "ATI\rELM327 v2.2\r\r>");
  EXPECT_EQ(entries[0].rate, 115200);
  EXPECT_LE(entries[0].seconds, entries[1].seconds);
  EXPECT_NE(sim_->TranscriptText().find("ATI\\r"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(AllModels, SimulatorTest, ::testing::Range(0, kModelCount),
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
