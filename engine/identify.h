#pragma once

#include <cstdint>
#include <string_view>

#include "engine/update_engine.h"

namespace zorbent {

// Model codes: 0..4 line-mode models, 5 and 6 block-mode models, 255 none.
inline constexpr std::uint8_t kNoModel = 255;

std::int32_t IdentifyAdapter(UpdateEngine& engine, Port& port, std::int32_t code);
std::int32_t CheckElmVersion(UpdateEngine& engine, Port& port);
std::int32_t CheckVersionGates(UpdateEngine& engine, Port& port, std::int32_t code,
                               std::int32_t fileVersion);
std::int32_t AdjustElmVersion(UpdateEngine& engine, Port& port, std::int32_t code);
std::int32_t ReportDeviceVersion(UpdateEngine& engine, Port& port, std::int32_t code);
std::int32_t ReportAdapterVersion(UpdateEngine& engine, Port& port, std::int32_t code);
std::uint8_t ClassifyBlockAdapter(std::string_view answer);
std::uint8_t ClassifyBlockFile(const UpdateEngine& engine);
std::int32_t ProbeBlockAdapter(UpdateEngine& engine, Port& port);

}  // namespace zorbent
