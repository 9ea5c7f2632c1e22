#pragma once

#include <string_view>

namespace zorbent::messages {

// The engine's own texts that more than one step reports, spelled once.
inline constexpr std::string_view kPowerOnAgain =
    "**Failed** Please power on the device again!\r\n";
inline constexpr std::string_view kFormatError = "**Failed** update file format error!\r\n";
inline constexpr std::string_view kModelMismatch =
    "**Failed** The upgrade file does not match the device model!\r\n";
inline constexpr std::string_view kNoVersion =
    "**Failed** The device did not report its version!\r\n";
inline constexpr std::string_view kFileInvalid = "**Failed** File is Invalid!\r\n";

}  // namespace zorbent::messages
