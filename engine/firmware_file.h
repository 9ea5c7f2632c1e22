#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zorbent {

// Smaller files cannot hold a record and a trailer.
inline constexpr std::int32_t kMinimumImageSize = 138;
// No adapter firmware comes near this; a larger file is the wrong file, and reading it whole
// would only delay the answer.
inline constexpr std::int64_t kMaxFirmwareBytes = 16 * 1024 * 1024;

// Loads a firmware file under the one rule the engine and every front end share: a regular
// file (a directory, pipe, device or socket is refused without being opened) of
// kMinimumImageSize to kMaxFirmwareBytes bytes that can be read. False, with image empty and
// the reason in why (naming the file, what is wrong and what to do).
// Why firmware of that many bytes, from the file named path, cannot be one; empty when it can.
std::string FirmwareSizeProblem(const std::string& path, std::int64_t size);

bool LoadFirmwareFile(const std::string& path, std::vector<std::uint8_t>& image, std::string& why);

}  // namespace zorbent
