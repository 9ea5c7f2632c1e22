#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/device_table.h"
#include "engine/text.h"

namespace zorbent {

// The trailer's names (product ID, device name, version text) fit buffers of this size.
inline constexpr std::size_t kNameCapacity = 128;
// Line buffer the checks read with; a line that fills it is longer than any valid record.
inline constexpr std::size_t kImageLineCapacity = 2048;

// A character of a line that is not a hex digit, by its 1-based column; column 0: none.
struct StrayCharacter {
  std::size_t column = 0;
  char c = '\0';
};

// One line of an image, read the one way the checks and the transfers share: the hex digits
// are the record, and whatever else the line holds is noted here for the checks to judge.
struct ImageLine {
  std::size_t next = 0;    // the next line's first character (blank lines skipped)
  std::size_t ownEnd = 0;  // just after its own line end (CR LF, LF or CR)
  bool hasLineEnd = false;
  std::size_t digits = 0;   // hex digits on it, those past the buffer too
  StrayCharacter nonDigit;  // the first character that is not a hex digit
  StrayCharacter nonBlank;  // the first that is neither a hex digit nor a space or tab
};

// Copies the hex digits of the line at position (upper case, NUL-terminated) into line.
// Digits beyond the buffer are consumed but dropped.
ImageLine ScanImageLine(std::span<const std::uint8_t> image, std::size_t position,
                        std::span<char> line);
// ScanImageLine's next line position.
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

// What an image says about itself, and the first thing wrong with it. Needs no engine: the
// update job, inspect, the tray's file-first check and the windows all read it.
struct ImageFacts {
  std::int32_t result = 0;  // 1 valid; negative: refused (see the checks below)
  Family family = Family::kNone;
  std::string productId;  // names as the trailer holds them
  std::string deviceName;
  std::string versionText;         // line mode only ("rUvoPro_V4.0.06")
  std::string version;             // the version as people read it ("4.0.06", "2.4")
  std::int32_t versionNumber = 0;  // line mode: as the version gates compare it
  std::int32_t model = -1;         // the device table's model the names are for; -1 none
  std::int32_t recordCount = 0;    // lines read, the trailer included
  std::size_t imageEnd = 0;        // the end of the trailer line: nothing after it is sent
  FormatProblem problem;           // line 0 when none
};

// Both checks accept only blank lines (spaces, tabs) and one final Ctrl-Z after the trailer
// line, and on success set facts.imageEnd to the end of that line: the transfer stops there.
// 1 valid block-mode image; -1 no trailer, bad TOTAL, a malformed trailer or text after it;
// -2 a record's SUM (or shape) is wrong; -3 the trailer's LEN is under 7.
std::int32_t CheckBlockImage(std::span<const std::uint8_t> image, ImageFacts& facts);
// 1 valid line-mode image; -1 bad span, check byte, TOTAL, names, version or text after the
// trailer; -2 no trailer.
std::int32_t CheckLineImage(std::span<const std::uint8_t> image, ImageFacts& facts);
// Both families: the facts of the one that accepts the image; for a refused image the problem
// of the family it comes closer to being (or that it is not text at all).
ImageFacts CheckImage(std::span<const std::uint8_t> image);
// Why no adapter takes a well-formed image whose names are for none of the device table's
// models: every front end refuses such a file before it touches an adapter, with these words
// after the file's name ("fw.txt is for device ..."). Empty for any other image.
std::string UnknownModelRefusal(const ImageFacts& facts);

}  // namespace zorbent
