#pragma once

// Writes firmware files of both families, valid or with one chosen fault, for tests, the
// adapter simulator, benchmarks and the fuzz corpus. Never linked into the engine.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/image/models.h"

namespace zorbent::sim {

enum class LineEnd { kCrLf, kLf, kCr };

// One fault to build into an image. Those that hit a single line use corruptIndex (the
// data record's index, 0-based); the others ignore it.
enum class Corruption {
  kNone,
  kBadSum,           // block: a data record's SUM is off by one
  kBadCheckByte,     // line: a data line's check byte is off by one
  kBadTotal,         // both: the trailer's TOTAL is off by one (sums stay right)
  kNoTrailer,        // both: the trailer line is left out
  kBadSpan,          // line: a data line loses its last digit
  kShortTrailerLen,  // block: the trailer's LEN is 6
  kLongName,         // both: the device name's length byte claims 128..255 characters
  kNameOverrun,      // both: the device name's length byte runs past the trailer's names
  kLenOverrun,       // block: a data record's LEN claims more bytes than its line holds
  kNoHexLine,        // both: a line without a single hex digit before the data record
  kLongRecord,       // block: a data record of 122 DATA bytes (250 digits)
  kLongTrailer,      // block: a trailer line of 133 bytes (266 digits)
};

enum class ImageFamily { kBlock, kLine };

// Whether the fault exists in images of the family ("both" above); the builders refuse the
// others rather than write a clean file.
bool CorruptionApplies(Corruption corruption, ImageFamily family);
// Whether the fault hits the data record at corruptIndex (and so needs that record).
bool CorruptionHitsRecord(Corruption corruption);
// Why this fault cannot be built into an image of the family with that many data records,
// naming the fault and the family; empty when it can.
std::string CorruptionRefusal(Corruption corruption, ImageFamily family, int records,
                              int corruptIndex);
std::string_view FamilyName(ImageFamily family);  // "block", "line"

inline constexpr int kMaxBlockRecordLen = 121;
inline constexpr int kLineRecordBytes = 68;

struct BlockImageOptions {
  std::string productId = "OBDZ-1000";
  // Model 5 (KTR558) at the version make-image writes; "zOrbent FS BT v..." is model 6.
  std::string deviceName = DeviceNameFor(5, kSimModels[5].imageVersion);
  int records = 16;    // data records before the trailer
  int recordLen = 64;  // DATA bytes per record, 0..121
  std::uint32_t seed = 1;
  LineEnd lineEnd = LineEnd::kCrLf;
  Corruption corruption = Corruption::kNone;
  int corruptIndex = 0;
  bool blankLines = false;     // an empty line after every record
  bool spaces = false;         // a space after every byte's two digits
  bool lowerCase = false;      // hex letters in lower case
  std::string afterTrailer{};  // text appended after the trailer line
  // The device name and a NUL at the start of the first record's DATA, as firmware carries
  // its own version text: the simulated adapter reports the version it finds there (the
  // trailer never reaches it). Left out when the record is too short.
  bool nameInData = false;
};

struct LineImageOptions {
  std::string productId = "OBDZ-1000";
  std::string deviceName = "KTR5575";  // model 1; "Ruvo03" 0, "KTR5577" 2, "KTR5578" 3, "Ruvo01" 4
  std::string versionText{kSimModels[1].imageVersion};  // newer than a simulated KTR5575's
  int records = 15;  // data lines before the trailer; 15 keeps the line count even
  std::uint32_t seed = 1;
  LineEnd lineEnd = LineEnd::kCrLf;
  Corruption corruption = Corruption::kNone;
  int corruptIndex = 0;
  bool blankLines = false;          // an empty line after every record (breaks the span)
  bool spaces = false;              // one space inside every line (breaks the span)
  bool lowerCase = false;           // hex letters in lower case
  bool trailerLineEnd = true;       // false: the file ends right after the trailer's digits
  std::uint8_t trailerType = 0x01;  // R0 of the trailer line
  std::string afterTrailer{};       // text appended after the trailer line
};

struct BuiltImage {
  std::string text;                // the file's content
  std::vector<std::string> lines;  // upper-case hex digits of every line, trailer last
  std::string error;               // empty when built; else why the options were refused
  bool ok() const { return error.empty(); }
};

// Options that cannot make an image (names too long for the trailer, record length out of
// range, negative counts, a fault the family or the records cannot carry) give an empty image
// with error set.
BuiltImage BuildBlockImage(const BlockImageOptions& options);
BuiltImage BuildLineImage(const LineImageOptions& options);

std::string_view LineEndText(LineEnd lineEnd);
std::optional<LineEnd> ParseLineEnd(std::string_view name);        // "crlf", "lf", "cr"
std::optional<Corruption> ParseCorruption(std::string_view name);  // "none", "bad-sum", ...
std::string_view CorruptionName(Corruption corruption);
std::vector<Corruption> AllCorruptions();

}  // namespace zorbent::sim
