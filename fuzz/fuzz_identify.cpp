// Adapter answers of any shape through identification, version gates and version reports.

#include "engine/exchange.h"
#include "engine/identify.h"
#include "fuzz/fuzz_check.h"
#include "port/port.h"

namespace zorbent::fuzz {
namespace {

// Canned answers, one readable per write; reads never wait, so a spent script ends an exchange.
class MemoryPort : public Port {
 public:
  explicit MemoryPort(std::vector<std::string> answers) : answers_(std::move(answers)) {}

  // Starts the script again from its first answer: every exchange reads it whole.
  Link& Rewind() {
    next_ = 0;
    Purge();
    return link_;
  }
  Link& Exchange() { return link_; }
  void Close() override { open_ = false; }
  bool Read(std::span<std::uint8_t> buffer, std::int32_t) override {
    if (!open_ || pending_.size() - readAt_ < buffer.size()) {
      readAt_ = pending_.size();
      return false;
    }
    std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(readAt_), buffer.size(),
                buffer.begin());
    readAt_ += buffer.size();
    return true;
  }
  bool Write(std::span<const std::uint8_t> bytes, std::int32_t) override {
    if (!open_) return false;
    if (bytes.empty()) return true;
    if (next_ < answers_.size()) {
      pending_.erase(0, readAt_);
      readAt_ = 0;
      pending_ += answers_[next_++];
    }
    return true;
  }
  void Purge() override {
    pending_.clear();
    readAt_ = 0;
  }
  std::int32_t Available() override { return static_cast<std::int32_t>(pending_.size() - readAt_); }
  bool IsOpen() override { return open_; }
  bool Open() override {
    open_ = true;
    return true;
  }
  std::unique_ptr<Port> AcceptClient(const PortConfig&, std::int32_t) override { return nullptr; }
  std::int32_t SetBaud(std::int32_t baud) override { return baud > 0 ? 1 : -1; }

 private:
  std::vector<std::string> answers_;
  std::size_t next_ = 0;
  std::string pending_;
  Link link_{*this};  // the exchange over this port
  std::size_t readAt_ = 0;
  bool open_ = true;
};

// Model codes of both families, and codes no model has.
constexpr std::array<std::int32_t, 10> kCodes = {0, 1, 2, 3, 4, 5, 6, 7, 255, -1};

void RunExchanges(MemoryPort& port) {
  std::array<char, 2048> reply{};
  std::array<char, 8> small{};
  Require(SendCommand(port.Rewind(), "QKI\r", reply, 2000, 2000) < std::ssize(reply),
          "SendCommand stored more than its buffer");
  Require(SendCommandToLineEnd(port.Rewind(), "ATI\r", small, 2000, 2000) < std::ssize(small),
          "SendCommandToLineEnd stored more than its buffer");
  SendCommandRetry(port.Rewind(), "QKVERS\r", reply, 2000, 2000);
  SendText(port.Rewind(), "QKI\r", 2000);
  Require(ReadLine(port.Exchange(), small, 2000) <= std::ssize(small),
          "ReadLine stored more than its buffer");
  Require(Without(BufferText(reply), '.').find('.') == std::string::npos, "Without drops every .");
}

}  // namespace
}  // namespace zorbent::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zorbent;
  using namespace zorbent::fuzz;
  const auto input = DecodeIdentifyInput(std::span(data, size));
  MemoryPort port(input.answers);
  Reports reports;
  UpdateEngine engine;
  engine.Init(&reports, &Reports::Callback);
  engine.file.productId = input.productId;
  RunExchanges(port);
  for (const std::int32_t code : kCodes) {
    engine.adapterModel = code;
    const std::int32_t identified = IdentifyAdapter(engine, port.Rewind(), code);
    Require(OneOf(identified, {0, -1, kUnanswered}), "IdentifyAdapter result");
    Require(identified < 0 || (code >= 0 && code <= 4), "IdentifyAdapter accepted a bad code");
    Require(engine.adapterModel == code, "IdentifyAdapter set another model");
    Require(OneOf(CheckElmVersion(engine, port.Rewind()), {0, -5, kNoElmVersion, kUnanswered}),
            "CheckElmVersion result");
    const std::int32_t gates = CheckVersionGates(engine, port.Rewind(), code, input.fileVersion);
    Require(OneOf(gates, {2, 3, -1, kUnanswered}), "CheckVersionGates result");
    Require(gates < 0 || (code >= 0 && code <= 4), "CheckVersionGates passed a bad code");
    Require(OneOf(AdjustElmVersion(engine, port.Rewind(), code), {1, -1, -2, -3, -4}),
            "AdjustElmVersion result");
    Require(OneOf(ReportDeviceVersion(engine, port.Rewind(), code), {1, -1, -2, kUnanswered}),
            "ReportDeviceVersion result");
    Require(OneOf(ReportAdapterVersion(engine, port.Rewind(), code), {1, -1, -2, kUnanswered}),
            "ReportAdapterVersion result");
    Require(OneOf(ProbeBlockAdapter(engine, port.Rewind()), {1, -1, kUnanswered}),
            "ProbeBlockAdapter result");
  }
  for (const auto& answer : input.answers) {
    Require(ModelOfQkvers(answer) >= -1 && ModelOfQkvers(answer) < kModelCount, "ModelOfQkvers");
    Require(ModelOfQki(answer) >= -1 && ModelOfQki(answer) < kModelCount, "ModelOfQki");
    for (const Family family : {Family::kBlock, Family::kLine}) {
      const DeviceModel* model = ModelByCode(ModelOfFile(family, answer));
      Require(model == nullptr || model->family == family, "ModelOfFile keeps to the family");
    }
  }
  return 0;
}
