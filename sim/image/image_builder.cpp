#include "sim/image/image_builder.h"

#include <array>
#include <cstddef>

namespace zorbent::sim {
namespace {

constexpr std::uint8_t kLengthMask = 0xB6;
constexpr std::uint8_t kCharMask = 0xC9;
constexpr std::size_t kNameMax = 127;
// Line-mode trailer: names start at R7 and must end by R62; TOTAL sits in R63..R66.
constexpr std::size_t kLineNamesStart = 7;
constexpr std::size_t kLineNamesEnd = 63;
constexpr std::size_t kLineTotalAt = 63;
// Block-mode trailer: 4 header bytes, DATA, SUM; the whole line at most 132 bytes.
constexpr std::size_t kBlockTrailerMaxBytes = 132;

using Bytes = std::vector<std::uint8_t>;

// Small deterministic generator so a seed names one image on every platform.
class Random {
 public:
  explicit Random(std::uint32_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  std::uint8_t Byte() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<std::uint8_t>(state_ >> 24);
  }

 private:
  std::uint64_t state_;
};

void AppendName(Bytes& out, std::string_view name) {
  out.push_back(static_cast<std::uint8_t>(name.size() ^ kLengthMask));
  for (char c : name) out.push_back(static_cast<std::uint8_t>(c) ^ kCharMask);
}

std::uint32_t SumBytes(const Bytes& bytes) {
  std::uint32_t sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  return sum;
}

void PutTotal(Bytes& out, std::size_t at, std::uint32_t total) {
  out[at] = static_cast<std::uint8_t>(total >> 24);
  out[at + 1] = static_cast<std::uint8_t>(total >> 16);
  out[at + 2] = static_cast<std::uint8_t>(total >> 8);
  out[at + 3] = static_cast<std::uint8_t>(total);
}

std::string ToHex(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0x0F]);
  }
  return hex;
}

struct Decoration {
  LineEnd lineEnd;
  bool blankLines;
  bool spaces;
  bool lowerCase;
};

// Writes one line's digits (as the reader will see them) and its decorated file text.
void EmitLine(BuiltImage& image, const std::string& hex, const Decoration& d, bool lineEnd,
              bool oneSpace) {
  image.lines.push_back(hex);
  for (std::size_t i = 0; i < hex.size(); ++i) {
    char c = hex[i];
    if (d.lowerCase && c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    image.text.push_back(c);
    if (d.spaces && (oneSpace ? i == 1 : (i % 2 == 1 && i + 1 < hex.size()))) {
      image.text.push_back(' ');
    }
  }
  if (!lineEnd) return;
  image.text += LineEndText(d.lineEnd);
  if (d.blankLines) image.text += LineEndText(d.lineEnd);
}

// A line the reader sees as empty.
void EmitNoHexLine(BuiltImage& image, std::size_t width, const Decoration& d) {
  image.lines.emplace_back();
  image.text.append(width, 'G');
  image.text += LineEndText(d.lineEnd);
}

BuiltImage Refuse(std::string why) {
  BuiltImage image;
  image.error = std::move(why);
  return image;
}

}  // namespace

std::string_view LineEndText(LineEnd lineEnd) {
  switch (lineEnd) {
    case LineEnd::kLf:
      return "\n";
    case LineEnd::kCr:
      return "\r";
    case LineEnd::kCrLf:
      break;
  }
  return "\r\n";
}

std::optional<LineEnd> ParseLineEnd(std::string_view name) {
  if (name == "crlf") return LineEnd::kCrLf;
  if (name == "lf") return LineEnd::kLf;
  if (name == "cr") return LineEnd::kCr;
  return std::nullopt;
}

namespace {
struct CorruptionEntry {
  Corruption corruption;
  std::string_view name;
};
constexpr std::array<CorruptionEntry, 13> kCorruptions{{
    {Corruption::kNone, "none"},
    {Corruption::kBadSum, "bad-sum"},
    {Corruption::kBadCheckByte, "bad-check-byte"},
    {Corruption::kBadTotal, "bad-total"},
    {Corruption::kNoTrailer, "no-trailer"},
    {Corruption::kBadSpan, "bad-span"},
    {Corruption::kShortTrailerLen, "short-trailer-len"},
    {Corruption::kLongName, "long-name"},
    {Corruption::kNameOverrun, "name-overrun"},
    {Corruption::kLenOverrun, "len-overrun"},
    {Corruption::kNoHexLine, "no-hex-line"},
    {Corruption::kLongRecord, "long-record"},
    {Corruption::kLongTrailer, "long-trailer"},
}};
}  // namespace

std::optional<Corruption> ParseCorruption(std::string_view name) {
  for (const auto& entry : kCorruptions) {
    if (entry.name == name) return entry.corruption;
  }
  return std::nullopt;
}

std::string_view CorruptionName(Corruption corruption) {
  for (const auto& entry : kCorruptions) {
    if (entry.corruption == corruption) return entry.name;
  }
  return "none";
}

std::vector<Corruption> AllCorruptions() {
  std::vector<Corruption> all;
  for (const auto& entry : kCorruptions) all.push_back(entry.corruption);
  return all;
}

bool CorruptionApplies(Corruption corruption, ImageFamily family) {
  switch (corruption) {
    case Corruption::kBadSum:
    case Corruption::kShortTrailerLen:
    case Corruption::kLenOverrun:
    case Corruption::kLongRecord:
    case Corruption::kLongTrailer:
      return family == ImageFamily::kBlock;
    case Corruption::kBadCheckByte:
    case Corruption::kBadSpan:
      return family == ImageFamily::kLine;
    default:
      return true;
  }
}

bool CorruptionHitsRecord(Corruption corruption) {
  switch (corruption) {
    case Corruption::kBadSum:
    case Corruption::kBadCheckByte:
    case Corruption::kBadSpan:
    case Corruption::kLenOverrun:
    case Corruption::kNoHexLine:
    case Corruption::kLongRecord:
      return true;
    default:
      return false;
  }
}

std::string_view FamilyName(ImageFamily family) {
  return family == ImageFamily::kBlock ? "block" : "line";
}

std::string CorruptionRefusal(Corruption corruption, ImageFamily family, int records,
                              int corruptIndex) {
  const std::string fault(CorruptionName(corruption));
  const std::string images = std::string(FamilyName(family)) + "-mode images";
  if (!CorruptionApplies(corruption, family)) {
    return "fault " + fault + " does not apply to " + images;
  }
  if (CorruptionHitsRecord(corruption) && (corruptIndex < 0 || corruptIndex >= records)) {
    return "fault " + fault + " hits data record " + std::to_string(corruptIndex) +
           " (counted from 0), but the " + std::string(FamilyName(family)) +
           "-mode image has only " + std::to_string(records) + " data records";
  }
  return {};
}

namespace {

// The data records, each with the fault it is to carry; the sum of their bytes, for the
// trailer's TOTAL.
std::uint32_t EmitBlockRecords(const BlockImageOptions& o, const Decoration& d, BuiltImage& image) {
  Random random(o.seed);
  std::uint32_t total = 0;
  for (int r = 0; r < o.records; ++r) {
    const bool target = r == o.corruptIndex;
    if (target && o.corruption == Corruption::kNoHexLine) EmitNoHexLine(image, 4, d);
    const int len = target && o.corruption == Corruption::kLongRecord ? 122 : o.recordLen;
    Bytes record;
    record.reserve(static_cast<std::size_t>(len) + 3);
    record.push_back(static_cast<std::uint8_t>(len >> 8));
    record.push_back(static_cast<std::uint8_t>(len));
    const bool withName =
        r == 0 && o.nameInData && o.deviceName.size() < static_cast<std::size_t>(len);
    std::uint8_t sum = 0;
    for (int i = 0; i < len; ++i) {
      const auto at = static_cast<std::size_t>(i);
      std::uint8_t b = random.Byte();
      if (withName && at <= o.deviceName.size())
        b = at < o.deviceName.size() ? static_cast<std::uint8_t>(o.deviceName[at]) : 0;
      record.push_back(b);
      sum = static_cast<std::uint8_t>(sum + b);
    }
    record.push_back(sum);
    if (target && o.corruption == Corruption::kBadSum) ++record.back();
    if (target && o.corruption == Corruption::kLenOverrun) {
      // Claims two bytes beyond the SUM, which the line does not hold.
      record[0] = static_cast<std::uint8_t>((len + 2) >> 8);
      record[1] = static_cast<std::uint8_t>(len + 2);
    }
    total += SumBytes(record);
    EmitLine(image, ToHex(record), d, true, false);
  }
  return total;
}

// The trailer record (FFF1, LEN, the names, TOTAL, SUM), with the fault it is to carry.
Bytes BlockTrailer(const BlockImageOptions& o, std::uint32_t total) {
  Bytes data;
  data.push_back(0x01);
  AppendName(data, o.productId);
  const std::size_t deviceAt = data.size();
  AppendName(data, o.deviceName);
  if (o.corruption == Corruption::kLongName) {
    data[deviceAt] = static_cast<std::uint8_t>(200 ^ kLengthMask);
  } else if (o.corruption == Corruption::kNameOverrun) {
    // Runs into the TOTAL by one character.
    data[deviceAt] = static_cast<std::uint8_t>((o.deviceName.size() + 1) ^ kLengthMask);
  }
  if (o.corruption == Corruption::kLongTrailer) {
    while (4 + data.size() + 4 + 1 < kBlockTrailerMaxBytes + 1) data.push_back(0x00);
  }
  data.resize(data.size() + 4, 0);
  if (o.corruption == Corruption::kShortTrailerLen) data.resize(6, 0);

  Bytes trailer{0xFF, 0xF1, static_cast<std::uint8_t>(data.size() >> 8),
                static_cast<std::uint8_t>(data.size())};
  if (o.corruption != Corruption::kShortTrailerLen) {
    total += SumBytes(trailer) + SumBytes(data);  // TOTAL bytes are still zero here
    if (o.corruption == Corruption::kBadTotal) ++total;
    PutTotal(data, data.size() - 4, total);
  }
  std::uint8_t sum = 0;
  for (std::uint8_t b : data) sum = static_cast<std::uint8_t>(sum + b);
  trailer.insert(trailer.end(), data.begin(), data.end());
  trailer.push_back(sum);
  return trailer;
}

}  // namespace

BuiltImage BuildBlockImage(const BlockImageOptions& o) {
  if (o.records < 0) return Refuse("record count must not be negative");
  if (o.recordLen < 0 || o.recordLen > kMaxBlockRecordLen) {
    return Refuse("record length must be 0 to 121 bytes");
  }
  if (o.productId.size() > kNameMax || o.deviceName.size() > kNameMax) {
    return Refuse("names hold at most 127 characters");
  }
  // DATA: one free byte, two names with their length bytes, TOTAL.
  const std::size_t trailerData = 1 + 1 + o.productId.size() + 1 + o.deviceName.size() + 4;
  if (4 + trailerData + 1 > kBlockTrailerMaxBytes) {
    return Refuse("product ID and device name together hold at most 120 characters");
  }
  if (std::string why =
          CorruptionRefusal(o.corruption, ImageFamily::kBlock, o.records, o.corruptIndex);
      !why.empty()) {
    return Refuse(std::move(why));
  }
  const Decoration d{o.lineEnd, o.blankLines, o.spaces, o.lowerCase};
  BuiltImage image;
  const std::uint32_t total = EmitBlockRecords(o, d, image);
  if (o.corruption == Corruption::kNoTrailer) return image;
  EmitLine(image, ToHex(BlockTrailer(o, total)), d, true, false);
  image.text += o.afterTrailer;
  return image;
}

BuiltImage BuildLineImage(const LineImageOptions& o) {
  if (o.records < 0) return Refuse("record count must not be negative");
  const std::size_t names = 3 + o.productId.size() + o.deviceName.size() + o.versionText.size();
  if (kLineNamesStart + names > kLineNamesEnd) {
    return Refuse("product ID, device name and version text together hold at most 53 characters");
  }
  if (std::string why =
          CorruptionRefusal(o.corruption, ImageFamily::kLine, o.records, o.corruptIndex);
      !why.empty()) {
    return Refuse(std::move(why));
  }
  const Decoration d{o.lineEnd, o.blankLines, o.spaces, o.lowerCase};
  Random random(o.seed);
  BuiltImage image;
  std::uint32_t total = 0;

  auto seal = [](Bytes& record) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i + 1 < record.size(); ++i)
      sum = static_cast<std::uint8_t>(sum + record[i]);
    record.back() = static_cast<std::uint8_t>(0xFF - sum);
  };

  for (int r = 0; r < o.records; ++r) {
    const bool target = r == o.corruptIndex;
    if (target && o.corruption == Corruption::kNoHexLine) EmitNoHexLine(image, 136, d);
    Bytes record(kLineRecordBytes, 0);
    record[0] = 0x00;
    for (std::size_t i = 1; i + 1 < record.size(); ++i) record[i] = random.Byte();
    if (record[1] == 0xFF && record[2] == 0xF1) record[2] = 0xF0;  // never a trailer look-alike
    seal(record);
    if (target && o.corruption == Corruption::kBadCheckByte) ++record.back();
    total += SumBytes(record);
    std::string hex = ToHex(record);
    if (target && o.corruption == Corruption::kBadSpan) hex.pop_back();
    EmitLine(image, hex, d, true, true);
  }
  if (o.corruption == Corruption::kNoTrailer) return image;

  Bytes trailer(kLineRecordBytes, 0);
  trailer[0] = o.trailerType;
  trailer[1] = 0xFF;
  trailer[2] = 0xF1;
  Bytes names_bytes;
  AppendName(names_bytes, o.productId);
  const std::size_t deviceAt = names_bytes.size();
  AppendName(names_bytes, o.deviceName);
  AppendName(names_bytes, o.versionText);
  if (o.corruption == Corruption::kLongName) {
    names_bytes[deviceAt] = static_cast<std::uint8_t>(200 ^ kLengthMask);
  } else if (o.corruption == Corruption::kNameOverrun) {
    // The device name would end at R63, one past the last name byte.
    const std::size_t deviceStart = kLineNamesStart + deviceAt + 1;
    names_bytes[deviceAt] =
        static_cast<std::uint8_t>((kLineNamesEnd + 1 - deviceStart) ^ kLengthMask);
  }
  for (std::size_t i = 0; i < names_bytes.size(); ++i)
    trailer[kLineNamesStart + i] = names_bytes[i];
  for (std::size_t i = 0; i < kLineTotalAt; ++i) total += trailer[i];
  if (o.corruption == Corruption::kBadTotal) ++total;
  PutTotal(trailer, kLineTotalAt, total);
  seal(trailer);
  EmitLine(image, ToHex(trailer), d, o.trailerLineEnd, true);
  image.text += o.afterTrailer;
  return image;
}

}  // namespace zorbent::sim
