#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zorbent {

class UpdateEngine;

// Line buffer the checks read with; a line that fills it is longer than any valid record.
inline constexpr std::size_t kImageLineCapacity = 2048;

// Copies the hex digits of the line at position (upper case, NUL-terminated) into line and
// returns the next line's position. Digits beyond the buffer are consumed but dropped.
std::size_t ReadImageLine(std::span<const std::uint8_t> image, std::size_t position,
                          std::span<char> line);

// Two hex digit characters to a byte; a NUL or other non-digit counts as 0.
std::uint8_t HexPairToByte(char high, char low);

// Hex text to bytes, digit 2k the high half of byte k; never writes past out. Returns the
// number of bytes written (an odd digit count leaves the last low half 0).
std::size_t HexTextToBytes(std::string_view text, std::span<std::uint8_t> out);

// Where a check found an image wrong, for people: the line (1-based) and what is wrong there.
struct FormatProblem {
  std::int32_t line = 0;
  std::string what;
};

// Both checks accept only blank lines (spaces, tabs) and one final Ctrl-Z after the trailer
// line, and on success set engine.imageSize to the end of that line: the transfer stops there.
// 1 valid block-mode image; -1 no trailer, bad TOTAL, a malformed trailer or text after it;
// -2 a record's SUM (or shape) is wrong; -3 the trailer's LEN is under 7.
std::int32_t CheckBlockImage(UpdateEngine& engine, std::span<const std::uint8_t> image,
                             FormatProblem* problem = nullptr);
// 1 valid line-mode image; -1 bad span, check byte, TOTAL, names, version or text after the
// trailer; -2 no trailer.
std::int32_t CheckLineImage(UpdateEngine& engine, std::span<const std::uint8_t> image,
                            FormatProblem* problem = nullptr);
// The first problem of an image that neither check accepts, as "line N: ...", from the
// family it comes closer to being; empty for a valid image.
std::string DescribeFormatProblem(std::span<const std::uint8_t> image);

// Line-mode model code of a device name (exact match), or -1.
std::int32_t LookupLineModel(std::string_view deviceName);

// Removes every "." and ">", replaces a final "X" by xDigit and gives the decimal value of the
// leading digits (0 when there are none; saturates instead of overflowing).
std::int32_t VersionNumber(std::string_view text, char xDigit);

}  // namespace zorbent
