// Adapter answers of any shape through identification, version gates and version reports.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/exchange.h"
#include "engine/identify.h"
#include "engine/update_engine.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/identify_input.h"
#include "fuzz/memory_port.h"

namespace {

using zorbent::fuzz::OneOf;
using zorbent::fuzz::Require;

// Model codes of both families, and codes no model has.
constexpr std::array<std::int32_t, 10> kCodes = {0, 1, 2, 3, 4, 5, 6, 7, 255, -1};

// Every exchange reads the script from its first answer.
zorbent::fuzz::MemoryPort& Fresh(zorbent::fuzz::MemoryPort& port) {
  port.Rewind();
  return port;
}

void RunExchanges(zorbent::fuzz::MemoryPort& port) {
  std::array<char, 2048> reply{};
  std::array<char, 8> small{};
  Require(zorbent::SendCommand(Fresh(port), "QKI\r", reply, 2000, 2000) <
              static_cast<std::int32_t>(reply.size()),
          "SendCommand stored more than its buffer");
  Require(zorbent::SendCommandToLineEnd(Fresh(port), "ATI\r", small, 2000, 2000) <
              static_cast<std::int32_t>(small.size()),
          "SendCommandToLineEnd stored more than its buffer");
  zorbent::SendCommandRetry(Fresh(port), "QKVERS\r", reply, 2000, 2000);
  zorbent::SendText(Fresh(port), "QKI\r", 2000);
  const std::int32_t line = zorbent::ReadLine(port, small, 2000);
  Require(line <= static_cast<std::int32_t>(small.size()), "ReadLine stored more than its buffer");
  zorbent::RemoveChar(reply, '.');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto input = zorbent::fuzz::DecodeIdentifyInput(std::span(data, size));
  zorbent::fuzz::MemoryPort port(input.answers);
  zorbent::fuzz::Reports reports;
  zorbent::UpdateEngine engine;
  engine.Init(&reports, &zorbent::fuzz::Reports::Callback);
  zorbent::CopyToBuffer(engine.fileProductId, input.productId);

  RunExchanges(port);
  for (const std::int32_t code : kCodes) {
    engine.adapterModel = code;
    const std::int32_t identified = zorbent::IdentifyAdapter(engine, Fresh(port), code);
    Require(OneOf(identified, {0, -1}), "IdentifyAdapter result");
    Require(identified < 0 || (code >= 0 && code <= 4), "IdentifyAdapter accepted a bad code");
    Require(engine.adapterModel == code, "IdentifyAdapter set another model");

    Require(OneOf(zorbent::CheckElmVersion(engine, Fresh(port)), {0, -5}),
            "CheckElmVersion result");
    const std::int32_t gates =
        zorbent::CheckVersionGates(engine, Fresh(port), code, input.fileVersion);
    Require(OneOf(gates, {2, 3, -1}), "CheckVersionGates result");
    Require(gates < 0 || (code >= 0 && code <= 4), "CheckVersionGates passed a bad code");
    Require(OneOf(zorbent::AdjustElmVersion(engine, Fresh(port), code), {1, -1, -2, -3, -4}),
            "AdjustElmVersion result");
    Require(OneOf(zorbent::ReportDeviceVersion(engine, Fresh(port), code), {1, -1, -2}),
            "ReportDeviceVersion result");
    Require(OneOf(zorbent::ReportAdapterVersion(engine, Fresh(port), code), {1, -1, -2}),
            "ReportAdapterVersion result");
    Require(OneOf(zorbent::ProbeBlockAdapter(engine, Fresh(port)), {1, -1}),
            "ProbeBlockAdapter result");
  }
  for (const auto& answer : input.answers) {
    Require(OneOf(zorbent::ClassifyBlockAdapter(answer), {5, 6, 255}), "ClassifyBlockAdapter");
  }
  Require(OneOf(zorbent::ClassifyBlockFile(engine), {5, 6, 255}), "ClassifyBlockFile");
  return 0;
}
