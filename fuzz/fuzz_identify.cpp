// Adapter answers of any shape through identification, version gates and version reports.

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "engine/exchange.h"
#include "engine/identify.h"
#include "engine/update_engine.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/identify_input.h"
#include "fuzz/memory_port.h"

namespace {

using zorbent::fuzz::Require;

void OnReport(void*, std::int32_t kind, std::intptr_t value) {
  zorbent::fuzz::CheckReport(kind, reinterpret_cast<const void*>(value));
}

bool OneOf(std::int32_t value, std::initializer_list<std::int32_t> allowed) {
  for (const auto a : allowed)
    if (a == value) return true;
  return false;
}

// Model codes of both families, and codes no model has.
constexpr std::array<std::int32_t, 10> kCodes = {0, 1, 2, 3, 4, 5, 6, 7, 255, -1};

void RunExchanges(zorbent::fuzz::MemoryPort& port) {
  std::array<char, 2048> reply{};
  std::array<char, 8> small{};
  port.Rewind();
  Require(zorbent::SendCommand(port, "QKI\r", reply, 2000, 2000) <
              static_cast<std::int32_t>(reply.size()),
          "SendCommand stored more than its buffer");
  port.Rewind();
  Require(zorbent::SendCommandToLineEnd(port, "ATI\r", small, 2000, 2000) <
              static_cast<std::int32_t>(small.size()),
          "SendCommandToLineEnd stored more than its buffer");
  port.Rewind();
  zorbent::SendCommandRetry(port, "QKVERS\r", reply, 2000, 2000);
  port.Rewind();
  zorbent::SendText(port, "QKI\r", 2000);
  const std::int32_t line = zorbent::ReadLine(port, small, 2000);
  Require(line <= static_cast<std::int32_t>(small.size()), "ReadLine stored more than its buffer");
  zorbent::RemoveChar(reply, '.');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto input = zorbent::fuzz::DecodeIdentifyInput(std::span(data, size));
  zorbent::fuzz::MemoryPort port(input.answers);
  zorbent::UpdateEngine engine;
  engine.Init(nullptr, &OnReport);
  zorbent::CopyToBuffer(engine.fileProductId, input.productId);

  RunExchanges(port);
  for (const std::int32_t code : kCodes) {
    engine.adapterModel = code;
    port.Rewind();
    const std::int32_t identified = zorbent::IdentifyAdapter(engine, port, code);
    Require(OneOf(identified, {0, -1}), "IdentifyAdapter result");
    Require(identified < 0 || (code >= 0 && code <= 4), "IdentifyAdapter accepted a bad code");
    Require(engine.adapterModel == code, "IdentifyAdapter set another model");

    port.Rewind();
    Require(OneOf(zorbent::CheckElmVersion(engine, port), {0, -5}), "CheckElmVersion result");
    port.Rewind();
    const std::int32_t gates = zorbent::CheckVersionGates(engine, port, code, input.fileVersion);
    Require(OneOf(gates, {2, 3, -1}), "CheckVersionGates result");
    Require(gates < 0 || (code >= 0 && code <= 4), "CheckVersionGates passed a bad code");
    port.Rewind();
    Require(OneOf(zorbent::AdjustElmVersion(engine, port, code), {1, -1, -2, -3, -4}),
            "AdjustElmVersion result");
    port.Rewind();
    Require(OneOf(zorbent::ReportDeviceVersion(engine, port, code), {1, -1, -2}),
            "ReportDeviceVersion result");
    port.Rewind();
    Require(OneOf(zorbent::ReportAdapterVersion(engine, port, code), {1, -1, -2}),
            "ReportAdapterVersion result");
    port.Rewind();
    Require(OneOf(zorbent::ProbeBlockAdapter(engine, port), {1, -1}), "ProbeBlockAdapter result");
  }
  for (const auto& answer : input.answers) {
    Require(OneOf(zorbent::ClassifyBlockAdapter(answer), {5, 6, 255}), "ClassifyBlockAdapter");
  }
  Require(OneOf(zorbent::ClassifyBlockFile(engine), {5, 6, 255}), "ClassifyBlockFile");
  return 0;
}
