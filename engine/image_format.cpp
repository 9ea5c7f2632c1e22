#include "engine/image_format.h"

#include <algorithm>
#include <array>
#include <string>

namespace zorbent {

namespace {

constexpr std::uint8_t kLengthMask = 0xB6;
constexpr std::uint8_t kCharacterMask = 0xC9;
constexpr std::size_t kMaxNameLength = kNameCapacity - 1;
constexpr std::size_t kMaxBlockDataDigits = 248;
constexpr std::size_t kMaxBlockTrailerDigits = 264;
constexpr std::size_t kLineRecordBytes = 68;
constexpr std::size_t kLineNamesEnd = 63;  // names fill at most R7 .. R62

constexpr std::uint8_t kCtrlZ = 0x1A;  // end-of-file mark some old tools append

bool IsLineEnd(std::uint8_t c) {
  return c == '\r' || c == '\n';
}

// The position after the line at start and its own line end (CR LF, LF or CR); blank lines
// after it are not part of it.
std::size_t EndOfOneLine(std::span<const std::uint8_t> image, std::size_t start) {
  std::size_t p = start;
  while (p < image.size() && !IsLineEnd(image[p])) ++p;
  if (p < image.size() && image[p] == '\r') ++p;
  if (p < image.size() && image[p] == '\n') ++p;
  return p;
}

// The transfer would take anything after the trailer for more of the image, so only blank
// lines (spaces and tabs too) and a Ctrl-Z as the very last byte may follow it. Gives the line
// (counted as the reader counts them, the trailer's being trailerLine) of the first other
// byte, or 0 when there is none.
std::int32_t LineOfTextAfterTrailer(std::span<const std::uint8_t> image, std::size_t from,
                                    std::int32_t trailerLine) {
  std::int32_t line = trailerLine;
  bool inLine = false;
  for (std::size_t i = from; i < image.size(); ++i) {
    const std::uint8_t c = image[i];
    if (IsLineEnd(c)) {
      inLine = false;
      continue;
    }
    if (!inLine) ++line;
    inLine = true;
    if (c == ' ' || c == '\t' || (c == kCtrlZ && i + 1 == image.size())) continue;
    return line;
  }
  return 0;
}

constexpr std::string_view kTextAfterTrailer =
    "text after the trailer record, which ends the image: remove it (only blank lines and one "
    "final Ctrl-Z may follow)";

// The three names of a trailer, unmasked; they reach the engine only when the whole check
// succeeds, so a rejected file leaves the previous job's identity in place.
struct Names {
  std::array<std::array<char, kNameCapacity>, 3> text{};
};

// Unmasks the name whose length byte is at `at`; false when it would run past `end` or is
// longer than a name field holds.
bool UnmaskName(std::span<const std::uint8_t> record, std::size_t& at, std::size_t end,
                std::span<char> out) {
  if (at >= end) return false;
  const std::size_t length = record[at] ^ kLengthMask;
  if (length > kMaxNameLength || at + 1 + length > end) return false;
  for (std::size_t i = 0; i < length; ++i) {
    out[i] = static_cast<char>(record[at + 1 + i] ^ kCharacterMask);
  }
  out[length] = '\0';
  at += 1 + length;
  return true;
}

std::uint32_t BigEndian32(std::span<const std::uint8_t> bytes) {
  return (static_cast<std::uint32_t>(bytes[0]) << 24) |
         (static_cast<std::uint32_t>(bytes[1]) << 16) |
         (static_cast<std::uint32_t>(bytes[2]) << 8) | bytes[3];
}

std::string Hex(unsigned value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out = "0x";
  out.push_back(kDigits[(value >> 4) & 0xF]);
  out.push_back(kDigits[value & 0xF]);
  return out;
}

// "\"O\" in column 136 is not a hex digit"; spaces and control bytes by name.
std::string NotADigit(const StrayCharacter& stray) {
  const auto byte = static_cast<unsigned char>(stray.c);
  const std::string what = stray.c == ' '               ? std::string("a space")
                           : stray.c == '\t'            ? std::string("a tab")
                           : byte < 0x20 || byte > 0x7E ? "the byte " + Hex(byte)
                                                        : "\"" + std::string(1, stray.c) + "\"";
  return what + " in column " + std::to_string(stray.column) + " is not a hex digit";
}

// What keeps a line from being a line-mode record exactly as it will be sent: 136 hex digits
// and a line end, nothing else; only the trailer may have blank lines after it. Empty: none.
std::string LineRecordProblem(const ImageLine& read, bool trailer) {
  if (read.nonDigit.column > 0) return NotADigit(read.nonDigit);
  if (read.digits != kLineRecordBytes * 2) {
    return std::to_string(read.digits) + " hex digits, a record line has " +
           std::to_string(kLineRecordBytes * 2);
  }
  if (!read.hasLineEnd) return "no line end after the record";
  if (!trailer && read.next != read.ownEnd)
    return "a blank line follows it: line-mode records follow one another without one";
  return {};
}

// A block-mode record is an even count of hex digits; spaces and tabs between them are
// skipped by the transfer as by the check. Empty: none.
std::string BlockRecordProblem(const ImageLine& read) {
  if (read.nonBlank.column > 0) return NotADigit(read.nonBlank);
  if (read.digits % 2 != 0) {
    return std::to_string(read.digits) +
           " hex digits, an odd count: every byte is two digits, one is missing or extra";
  }
  return {};
}

// A final Ctrl-Z ends the text; the lines are read without it.
std::span<const std::uint8_t> TextOf(std::span<const std::uint8_t> image) {
  return !image.empty() && image.back() == kCtrlZ ? image.first(image.size() - 1) : image;
}

// Notes the problem and passes the result on.
std::int32_t RecordProblem(ImageFacts& facts, std::int32_t line, std::string what,
                           std::int32_t result) {
  facts.problem = FormatProblem{line, std::move(what)};
  return facts.result = result;
}

std::string NameText(std::span<const char> name) {
  return std::string(BufferText(name));
}

// Text files of either family hold hex digits, line ends and little else; a file of mostly
// other bytes is something else altogether.
bool LooksLikeText(std::span<const std::uint8_t> image) {
  const std::span<const std::uint8_t> head = image.first(std::min<std::size_t>(image.size(), 512));
  std::size_t other = 0;
  for (const std::uint8_t c : head)
    if (c != '\r' && c != '\n' && c != '\t' && c != kCtrlZ && (c < 0x20 || c > 0x7E)) ++other;
  return other * 10 < head.size();
}

// A block-mode record's parts, as its shape check found them.
struct BlockRecord {
  bool trailer = false;    // FFF1...
  std::size_t header = 0;  // the bytes before DATA
  std::size_t len = 0;     // DATA's
  std::uint8_t sum = 0;    // the record's SUM
};

// One block-mode record's shape: its digits, LEN against what the line holds and SUM against
// DATA; its bytes into record and added to total. 0, or the failure's result with the problem
// noted in facts.
std::int32_t CheckBlockRecord(const ImageLine& read, std::string_view digits, std::int32_t at,
                              std::span<std::uint8_t> record, std::uint32_t& total,
                              BlockRecord& shape, ImageFacts& facts) {
  const bool trailer = digits.starts_with("FFF1");
  const std::size_t header = trailer ? 4 : 2;
  const std::int32_t shapeError = trailer ? -1 : -2;
  if (read.digits == 0 && read.nonBlank.column == 0)
    return RecordProblem(facts, at, "no hex digits on the line", -2);
  if (std::string problem = BlockRecordProblem(read); !problem.empty())
    return RecordProblem(facts, at, std::move(problem), shapeError);
  if (read.digits > (trailer ? kMaxBlockTrailerDigits : kMaxBlockDataDigits)) {
    return RecordProblem(
        facts, at,
        std::to_string(read.digits) + " hex digits, more than a record holds (" +
            std::to_string(trailer ? kMaxBlockTrailerDigits : kMaxBlockDataDigits) + ")",
        shapeError);
  }
  const std::size_t n = HexTextToBytes(digits, record);
  if (n < header + 1) return RecordProblem(facts, at, "too short for a record", shapeError);
  const std::size_t len = static_cast<std::size_t>(record[header - 2]) * 256 + record[header - 1];
  if (header + len + 1 > n) {
    return RecordProblem(facts, at,
                         "LEN says " + std::to_string(len) + " data bytes, the line holds " +
                             std::to_string(n - header - 1),
                         shapeError);
  }
  for (std::size_t i = 0; i < header; ++i) total += record[i];
  unsigned sum = 0;
  for (std::size_t i = 0; i < len; ++i) sum += record[header + i];
  total += sum;
  const std::uint8_t recordSum = record[header + len];
  if ((sum & 0xFF) != recordSum) {
    return RecordProblem(
        facts, at, "data bytes sum to " + Hex(sum & 0xFF) + ", SUM says " + Hex(recordSum), -2);
  }
  total += recordSum;
  shape = {trailer, header, len, recordSum};
  return 0;
}

}  // namespace

ImageLine ScanImageLine(std::span<const std::uint8_t> image, std::size_t position,
                        std::span<char> line) {
  ImageLine read;
  const std::size_t start = position;
  const std::size_t room = line.empty() ? 0 : line.size() - 1;
  while (position < image.size() && !IsLineEnd(image[position])) {
    const char c = static_cast<char>(image[position++]);
    if (HexValue(c) >= 0) {
      if (read.digits < room) line[read.digits] = c >= 'a' ? static_cast<char>(c - 'a' + 'A') : c;
      ++read.digits;
      continue;
    }
    const StrayCharacter stray{position - start, c};
    if (read.nonDigit.column == 0) read.nonDigit = stray;
    if (read.nonBlank.column == 0 && c != ' ' && c != '\t') read.nonBlank = stray;
  }
  read.ownEnd = EndOfOneLine(image, position);
  read.hasLineEnd = read.ownEnd > position;
  while (position < image.size() && IsLineEnd(image[position])) ++position;
  if (!line.empty()) line[std::min(read.digits, room)] = '\0';
  read.next = position;
  return read;
}

std::size_t ReadImageLine(std::span<const std::uint8_t> image, std::size_t position,
                          std::span<char> line) {
  return ScanImageLine(image, position, line).next;
}

std::uint8_t HexPairToByte(char high, char low) {
  const int h = HexValue(high);
  const int l = HexValue(low);
  return static_cast<std::uint8_t>(((h < 0 ? 0 : h) << 4) | (l < 0 ? 0 : l));
}

std::size_t HexTextToBytes(std::string_view text, std::span<std::uint8_t> out) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size() && n < out.size(); i += 2) {
    out[n++] = HexPairToByte(text[i], i + 1 < text.size() ? text[i + 1] : '\0');
  }
  return n;
}

std::int32_t CheckBlockImage(std::span<const std::uint8_t> image, ImageFacts& facts) {
  facts = ImageFacts{};
  std::int32_t& recordCount = facts.recordCount;
  std::uint32_t total = 0;
  std::size_t position = 0;
  std::array<char, kImageLineCapacity> line{};
  std::array<std::uint8_t, kMaxBlockTrailerDigits / 2> record{};
  const std::span<const std::uint8_t> text = TextOf(image);
  while (true) {
    const std::int32_t at = recordCount + 1;
    if (position >= text.size())
      return RecordProblem(facts, at, "the file ends without a trailer record (FFF1...)", -1);
    const ImageLine read = ScanImageLine(text, position, line);
    position = read.next;
    ++recordCount;
    BlockRecord shape;
    if (const std::int32_t failed =
            CheckBlockRecord(read, BufferText(line), at, record, total, shape, facts);
        failed < 0)
      return failed;
    if (!shape.trailer) continue;
    const std::size_t header = shape.header;
    const std::size_t len = shape.len;
    const std::uint8_t recordSum = shape.sum;

    if (len < 7)
      return RecordProblem(facts, at, "trailer LEN " + std::to_string(len) + " is under 7", -3);
    const std::span<const std::uint8_t> data(record.data() + header, len);
    const std::uint32_t stated = BigEndian32(data.subspan(len - 4));
    total -= recordSum;
    for (std::size_t i = len - 4; i < len; ++i) total -= data[i];
    if (total != stated)
      return RecordProblem(facts, at, "trailer TOTAL does not match the file", -1);

    Names names;
    std::size_t from = 1;
    const std::size_t end = len - 4;  // the names never reach into the TOTAL
    if (!UnmaskName(data, from, end, names.text[0]) ||
        !UnmaskName(data, from, end, names.text[1])) {
      return RecordProblem(facts, at, "trailer names run past the record", -1);
    }
    // The version gates and the read-back comparison need the file's version.
    const std::string deviceName = NameText(names.text[1]);
    std::string version = VersionInAnswer(deviceName);
    if (version.empty()) {
      return RecordProblem(facts, at,
                           "the trailer's device name \"" + VisibleText(deviceName) +
                               "\" holds no version (block-mode files are named " +
                               FileDeviceNames(Family::kBlock) + ")",
                           -1);
    }
    if (const std::int32_t extra = LineOfTextAfterTrailer(image, read.ownEnd, at); extra > 0)
      return RecordProblem(facts, extra, std::string(kTextAfterTrailer), -1);
    facts.productId = NameText(names.text[0]);
    facts.deviceName = deviceName;
    facts.family = Family::kBlock;
    facts.model = ModelOfFile(facts.family, facts.deviceName);
    facts.version = std::move(version);
    facts.imageEnd = read.ownEnd;
    return facts.result = 1;
  }
}

std::int32_t CheckLineImage(std::span<const std::uint8_t> image, ImageFacts& facts) {
  facts = ImageFacts{};
  std::int32_t& recordCount = facts.recordCount;
  std::uint32_t total = 0;
  std::size_t start = 0;
  std::array<char, kImageLineCapacity> line{};
  const std::span<const std::uint8_t> text = TextOf(image);
  while (true) {
    const ImageLine read = ScanImageLine(text, start, line);
    ++recordCount;
    const std::int32_t at = recordCount;
    const std::string_view digits = BufferText(line);
    const bool trailer = digits.size() >= 6 && digits.substr(2, 4) == "FFF1";
    if (std::string problem = LineRecordProblem(read, trailer); !problem.empty())
      return RecordProblem(facts, at, std::move(problem), -1);
    const std::size_t span = digits.size();
    const std::size_t limit = trailer ? span - 10 : span;
    std::array<std::uint8_t, kLineRecordBytes> record{};
    unsigned check = 0;
    for (std::size_t i = 0; i < span; i += 2) {
      const std::uint8_t byte = HexPairToByte(digits[i], digits[i + 1]);
      record[i / 2] = byte;
      check += byte;
      if (i < limit) total += byte;
    }
    if ((check & 0xFF) != 0xFF) {
      return RecordProblem(facts, at, "bytes sum to " + Hex(check & 0xFF) + ", must be 0xFF", -1);
    }
    if (!trailer) {
      if (read.next >= text.size())
        return RecordProblem(facts, at + 1, "the file ends without a trailer record (..FFF1...)",
                             -2);
      start = read.next;
      continue;
    }

    if (BigEndian32(std::span<const std::uint8_t>(record).subspan(63, 4)) != total)
      return RecordProblem(facts, at, "trailer TOTAL does not match the file", -1);
    Names names;
    std::size_t from = 7;
    for (auto& name : names.text) {
      if (!UnmaskName(record, from, kLineNamesEnd, name))
        return RecordProblem(facts, at, "trailer names run past the record", -1);
    }
    const std::string_view version = BufferText(names.text[2]);
    const std::size_t v = version.find('V');
    if (v == std::string_view::npos)
      return RecordProblem(facts, at, "trailer version has no \"V\"", -1);
    // The trailing "X" follows the model this file is for, not the one of an earlier job.
    const std::int32_t model = ModelOfFile(Family::kLine, BufferText(names.text[1]));
    if (const std::int32_t extra = LineOfTextAfterTrailer(image, read.ownEnd, at); extra > 0)
      return RecordProblem(facts, extra, std::string(kTextAfterTrailer), -1);
    facts.productId = NameText(names.text[0]);
    facts.deviceName = NameText(names.text[1]);
    facts.versionText = NameText(names.text[2]);
    facts.family = Family::kLine;
    facts.model = model;
    facts.version = VersionInAnswer(facts.versionText);
    facts.versionNumber = VersionNumber(version.substr(v + 1), XDigitOf(model));
    facts.imageEnd = read.ownEnd;
    return facts.result = 1;
  }
}

ImageFacts CheckImage(std::span<const std::uint8_t> image) {
  ImageFacts block;
  if (CheckBlockImage(image, block) > 0) return block;
  ImageFacts line;
  if (CheckLineImage(image, line) > 0) return line;
  // The family that read further is the one the file was meant to be.
  ImageFacts& first = line.problem.line >= block.problem.line ? line : block;
  if (!LooksLikeText(image)) {
    first.problem = FormatProblem{1,
                                  "not a text firmware file: it holds bytes that are not "
                                  "text (a firmware file is lines of hex digits)"};
  }
  return first;
}

std::string UnknownModelRefusal(const ImageFacts& facts) {
  if (facts.result < 0 || facts.model >= 0) return {};
  return "is for device \"" + facts.deviceName +
         "\", which is none of the adapter models this program updates; files carry one of: " +
         FileDeviceNames(facts.family);
}

}  // namespace zorbent
