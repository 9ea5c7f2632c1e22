#include "engine/image_format.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "engine/update_engine.h"
#include "sim/image/image_builder.h"

namespace zorbent {
namespace {

using sim::BlockImageOptions;
using sim::BuildBlockImage;
using sim::BuildLineImage;
using sim::BuiltImage;
using sim::Corruption;
using sim::LineEnd;
using sim::LineImageOptions;

class ImageFormat : public ::testing::Test {
 protected:
  void SetUp() override { engine_.Init(this, &Callback); }
  // Texts as they are, progress as "progress N", in arrival order.
  static void Callback(void* context, std::int32_t kind, std::intptr_t value) {
    auto& reports = static_cast<ImageFormat*>(context)->reports_;
    if (kind == kReportText) reports.emplace_back(reinterpret_cast<const char*>(value));
    if (kind == kReportProgress) reports.push_back("progress " + std::to_string(value));
  }
  // Hands text to the engine as the update job does and runs the check.
  std::int32_t Check(const std::string& text) {
    loaded_ = text;
    engine_.image = Bytes(loaded_);
    return engine_.CheckImageFormat();
  }
  std::int32_t Block(const std::string& text) {
    ImageFacts facts;
    return CheckBlockImage(Bytes(text), facts);
  }
  std::int32_t Line(const std::string& text) {
    ImageFacts facts;
    return CheckLineImage(Bytes(text), facts);
  }
  static std::string Describe(const std::string& text) {
    const ImageFacts facts = CheckImage(Bytes(text));
    return "line " + std::to_string(facts.problem.line) + ": " + facts.problem.what;
  }
  std::string_view ProductId() const { return engine_.file.productId; }
  std::string_view DeviceName() const { return engine_.file.deviceName; }
  std::string_view VersionText() const { return engine_.file.versionText; }
  int Family() const { return static_cast<int>(engine_.file.family); }
  static sim::BuiltImage Build(const BlockImageOptions& o) { return BuildBlockImage(o); }
  static sim::BuiltImage Build(const LineImageOptions& o) { return BuildLineImage(o); }

  std::vector<std::string> reports_;
  UpdateEngine engine_;
  std::string loaded_;  // the bytes the engine checks
};

// Accepted: family, count, names and version as built, no text, exactly the digits kept.
struct Accepted {
  const char* what;
  std::variant<BlockImageOptions, LineImageOptions> options;
  std::int32_t records;         // the trailer line counts
  std::int32_t version = 2239;  // line images only
};

std::vector<Accepted> AcceptedImages() {
  std::vector<Accepted> rows;
  for (const LineEnd end : {LineEnd::kCrLf, LineEnd::kLf, LineEnd::kCr}) {
    for (const bool decorated : {false, true}) {  // blank lines, spaces and lower case
      rows.push_back({"block style",
                      BlockImageOptions{.deviceName = "zOrbent FS BT v3",
                                        .records = 7,
                                        .recordLen = 33,
                                        .lineEnd = end,
                                        .blankLines = decorated && end != LineEnd::kCr,
                                        .spaces = decorated && end != LineEnd::kCrLf,
                                        .lowerCase = decorated && end == LineEnd::kCr},
                      8});
    }
    rows.push_back(
        {"line style", LineImageOptions{.lineEnd = end, .lowerCase = end == LineEnd::kLf}, 16});
  }
  const std::string p60(60, 'P'), v60 = std::string(58, 'P') + "v1";
  const std::string p39(53 - 7 - 7, 'P');  // with these names the line trailer is full
  rows.insert(
      rows.end(),
      {{"fifty block records", BlockImageOptions{.records = 50}, 51},
       {"fifty line records", LineImageOptions{.records = 50}, 51},
       // The trailer's type is not the check's concern.
       {"trailer type 2", LineImageOptions{.records = 3, .trailerType = 0x02}, 4},
       // After the trailer: blank lines, spaces, tabs and one final Ctrl-Z, never sent.
       {"block Ctrl-Z after the trailer", BlockImageOptions{.afterTrailer = "\x1A"}, 17},
       {"line Ctrl-Z after the trailer", LineImageOptions{.afterTrailer = "\x1A"}, 16},
       {"block blank lines after the trailer",
        BlockImageOptions{.afterTrailer = "\r\n \t\r\n\n  \x1A"}, 17},
       {"line blank lines after the trailer",
        LineImageOptions{.lineEnd = LineEnd::kLf, .afterTrailer = "\r\n\t \n\r\n"}, 16},
       // 2 + 65 + 1 bytes make 136 digits, the line-mode width: never tried as a line image.
       {"block record of line width", BlockImageOptions{.records = 3, .recordLen = 65}, 4},
       // Names and records at their limits (one byte more: the kLongName and kLongTrailer faults).
       {"longest block names", BlockImageOptions{.productId = p60, .deviceName = v60}, 17},
       {"longest block record",
        BlockImageOptions{
            .productId = "P", .deviceName = "zOrbent FS v1", .recordLen = sim::kMaxBlockRecordLen},
        17},
       {"longest line names",
        LineImageOptions{.productId = p39, .deviceName = "KTR5578", .versionText = "V1.2.3"}, 16,
        123}});
  // The final X of a line-mode version follows the file's own model.
  const std::tuple<const char*, const char*, std::int32_t> finalX[] = {
      {"Ruvo03", "V4.0.0X", 4005},
      {"KTR5577", "V4.0.0X", 4009},
      {"Ruvo01", "V2.2.2X", 2225},
      {"KTR5578", "V2.2.2X", 2229},
      {"Unknown", "V2.2.2X", 2229},
      {"KTR5575", "V2.2.01", 2201},
      {"KTR5575", "zOrbent_V2.2.3X", 2239},
      {"KTR5575", "VX", 9},
      {"KTR5575", "VX2.2", 0},  // only a final X is replaced
      {"KTR5575", "V2.2a7", 22},
      {"KTR5575", "V99999999999999999999", 2147483647},
      {"KTR5575", "Vbeta", 0}};
  for (const auto& [device, text, version] : finalX)
    rows.push_back(
        {text, LineImageOptions{.deviceName = device, .versionText = text}, 16, version});
  return rows;
}

TEST_F(ImageFormat, AcceptedImagesKeepTheirIdentityCountAndDigits) {
  for (const Accepted& row : AcceptedImages())
    for (const std::uint8_t stale : {0, 4, 2, 255}) {  // whatever model the job before had
      SCOPED_TRACE(row.what);
      engine_.modelCode = stale;
      reports_.clear();
      std::visit(
          [&](const auto& o) {
            const sim::BuiltImage built = Build(o);
            ASSERT_TRUE(built.ok()) << built.error;
            EXPECT_EQ(Check(built.text), 1);
            // Front ends refuse a well-formed file for none of the models with the check's words.
            EXPECT_EQ(UnknownModelRefusal(engine_.file).empty(), engine_.file.model >= 0);
            EXPECT_EQ(ProductId(), o.productId);
            EXPECT_EQ(DeviceName(), o.deviceName);
            if constexpr (std::is_same_v<decltype(o), const LineImageOptions&>) {
              EXPECT_EQ(Family(), 2);
              EXPECT_EQ(VersionText(), o.versionText);
              EXPECT_EQ(engine_.file.versionNumber, row.version);
            } else {
              EXPECT_EQ(Family(), 1);
            }
            // Exactly the builder's lines are read back; the kept image ends with the trailer.
            const std::string kept(engine_.image.begin(), engine_.image.end());
            EXPECT_EQ(engine_.file.imageEnd, kept.size());
            EXPECT_TRUE(built.text.starts_with(kept));
            EXPECT_EQ(built.text.find_first_not_of("\r\n \t\x1A", kept.size()), std::string::npos);
            std::array<char, kImageLineCapacity> line{};
            std::size_t position = 0;
            for (const auto& expected : built.lines) {
              position = ReadImageLine(engine_.image, position, line);
              EXPECT_EQ(std::string(line.data()), expected);
            }
            EXPECT_EQ(position, kept.size());
          },
          row.options);
      EXPECT_EQ(engine_.file.recordCount, row.records);
      EXPECT_DOUBLE_EQ(engine_.progressStep, 90.0 / row.records);
      EXPECT_EQ(reports_, std::vector<std::string>{"progress 2"});
    }
  // CR LF on the data lines, LF alone after the trailer.
  std::string text = BuildLineImage({.records = 3}).text;
  EXPECT_EQ(Check(text.erase(text.size() - 2, 1)), 1);
}

// Refused: the family check's result, one message, nothing of the file kept.
struct Refused {
  std::string what, text;
  bool block;  // which check's result is pinned
  std::int32_t result;
  std::int32_t records = 0;  // lines counted all the same (0: not pinned)
  std::string problem{};     // what CheckImage says (empty: not pinned)
};

std::vector<Refused> RefusedImages() {
  std::vector<Refused> rows;
  const std::pair<Corruption, std::int32_t> block[] = {
      {Corruption::kBadSum, -2},     {Corruption::kBadTotal, -1},
      {Corruption::kNoTrailer, -1},  {Corruption::kShortTrailerLen, -3},
      {Corruption::kLongName, -1},   {Corruption::kNameOverrun, -1},
      {Corruption::kLenOverrun, -2}, {Corruption::kNoHexLine, -2},
      {Corruption::kLongRecord, -2}, {Corruption::kLongTrailer, -1}};
  for (const auto& [c, result] : block) {
    const auto built = BuildBlockImage({.records = 5, .corruption = c, .corruptIndex = 2});
    EXPECT_TRUE(built.ok()) << built.error;
    rows.push_back({"block " + std::string(sim::CorruptionName(c)), built.text, true, result});
  }
  const std::pair<Corruption, std::int32_t> line[] = {
      {Corruption::kBadCheckByte, -1}, {Corruption::kBadTotal, -1},
      {Corruption::kBadSpan, -1},      {Corruption::kLongName, -1},
      {Corruption::kNameOverrun, -1},  {Corruption::kNoHexLine, -1}};
  for (const auto& [c, result] : line) {
    const auto built = BuildLineImage({.records = 5, .corruption = c, .corruptIndex = 3});
    EXPECT_TRUE(built.ok()) << built.error;
    rows.push_back({"line " + std::string(sim::CorruptionName(c)), built.text, false, result});
  }
  // Without a trailer in either family every line is still counted for the progress step.
  rows.push_back({"line without trailer",
                  BuildLineImage({.records = 4, .corruption = Corruption::kNoTrailer}).text, false,
                  -2, 4});
  // No line end after the trailer, spaces or blank lines break the fixed span.
  for (int n = 0;
       const LineImageOptions& o : {LineImageOptions{.records = 3, .trailerLineEnd = false},
                                    {.records = 3, .spaces = true},
                                    {.records = 3, .blankLines = true},
                                    {.versionText = "2.2.01"}})  // and a version without V
    rows.push_back({"line span " + std::to_string(n++), BuildLineImage(o).text, false, -1});
  // An "O" for a 0 low digit kept the span and, read as 0, even the check byte; the transfer
  // would have sent the line without it.
  std::string stray = BuildLineImage({.records = 3}).text;
  std::size_t at = 138 + 3;  // a low digit of the second line, after CR LF
  while (stray[at] != '0') at += 2;
  stray[at] = 'O';
  rows.push_back({"line with an O", stray, false, -1, 0,
                  "line 2: \"O\" in column " + std::to_string(at - 137) + " is not a hex digit"});
  // A line-mode line is 136 digits exactly; a block line an even count (the digit after SUM
  // was ignored, and sent).
  std::string shorter = BuildLineImage({.records = 3}).text, longer = shorter;
  rows.push_back({"line of 135 digits", shorter.erase(140, 1), false, -1, 0,
                  "line 2: 135 hex digits, a record line has 136"});
  rows.push_back({"line of 137 digits", longer.insert(140, "0"), false, -1, 0,
                  "line 2: 137 hex digits, a record line has 136"});
  const BuiltImage block3 = BuildBlockImage({.records = 5});
  std::string odd = block3.text;
  odd.insert(2 * (block3.lines[0].size() + 2) + block3.lines[2].size(), "0");
  rows.push_back(
      {"block line of an odd count", odd, true, -2, 0, "line 3: 135 hex digits, an odd"});
  // A block file names its version in its device name; without it nothing can be compared.
  for (const char* name : {"zOrbent FS", ""})
    rows.push_back(
        {"block name " + std::string(name),
         BuildBlockImage({.productId = "", .deviceName = name}).text, true, -1, 0,
         "line 17: the trailer's device name \"" + std::string(name) + "\" holds no version"});
  // Anything else after the trailer is refused, naming its first line.
  const std::string after = ": text after the trailer record, which ends the image: remove it";
  const std::string twoBlock = BuildBlockImage({.records = 3}).text + BuildBlockImage({}).text;
  const std::string twoLine = BuildLineImage({.records = 3}).text + BuildLineImage({}).text;
  rows.push_back({"block image after the trailer", twoBlock, true, -1, 0, "line 5" + after});
  rows.push_back({"line image after the trailer", twoLine, false, -1, 0, "line 5" + after});
  rows.push_back({"block text after the trailer",
                  BuildBlockImage({.afterTrailer = "\r\n\r\n  \r\nnot a record\r\n"}).text, true,
                  -1, 0, "line 19" + after});
  rows.push_back({"line Ctrl-Z before a line end",
                  BuildLineImage({.afterTrailer = "\x1A\r\n"}).text, false, -1, 0,
                  "line 17" + after});
  // Empty and tiny images fail without dividing by zero; a line without digits as kNoHexLine.
  for (const auto& [tiny, result] :
       {std::pair{"", -1}, {"\r\n\r\n", -2}, {"FFF1", -1}, {"FFF10000", -1}})
    rows.push_back({"tiny '" + std::string(tiny) + "'", tiny, true, result});
  return rows;
}

TEST_F(ImageFormat, RefusedImagesGiveTheirResultAndOneMessage) {
  for (const Refused& row : RefusedImages()) {
    SCOPED_TRACE(row.what);
    reports_.clear();
    EXPECT_EQ(row.block ? Block(row.text) : Line(row.text), row.result);
    if (!row.problem.empty()) {
      EXPECT_EQ(Describe(row.text).rfind(row.problem, 0), 0u) << Describe(row.text);
    }
    EXPECT_LT(Check(row.text), 0);
    EXPECT_EQ(reports_, (std::vector<std::string>{"**Failed** update file format error!\r\n",
                                                  Describe(row.text) + ".\r\n", "progress 2"}));
    EXPECT_TRUE(engine_.image.empty());
    if (row.records > 0) {
      EXPECT_EQ(engine_.file.recordCount, row.records);
      EXPECT_DOUBLE_EQ(engine_.progressStep, 90.0 / row.records);
    }
    EXPECT_EQ(Family(), 0);
    EXPECT_EQ(DeviceName(), "");
    EXPECT_EQ(VersionText(), "");
    EXPECT_EQ(engine_.file.versionNumber, 0);
  }
}

TEST_F(ImageFormat, FailedChecksLeaveTheLastGoodIdentity) {
  ASSERT_EQ(Check(BuildLineImage({.deviceName = "Ruvo03", .versionText = "V4.0.0X"}).text), 1);
  LineImageOptions bad{.productId = "OTHER", .deviceName = "KTR5577", .versionText = "V9.9.9"};
  for (Corruption c : {Corruption::kBadTotal, Corruption::kNameOverrun, Corruption::kLongName}) {
    bad.corruption = c;
    EXPECT_LT(Check(BuildLineImage(bad).text), 0);
  }
  bad.corruption = Corruption::kNone;
  bad.versionText = "9.9.9";  // names unmask fine, then the version rejects
  EXPECT_LT(Check(BuildLineImage(bad).text), 0);
  for (Corruption c : {Corruption::kBadTotal, Corruption::kNameOverrun})
    EXPECT_LT(Check(BuildBlockImage({.productId = "BLOCKID", .corruption = c}).text), 0);
  EXPECT_EQ(Family(), 2);
  EXPECT_EQ(ProductId(), "OBDZ-1000");
  EXPECT_EQ(DeviceName(), "Ruvo03");
  EXPECT_EQ(VersionText(), "V4.0.0X");
  EXPECT_EQ(engine_.file.versionNumber, 4005);
  ASSERT_EQ(Check(BuildBlockImage({.productId = "BLOCKID"}).text), 1);
  EXPECT_EQ(Family(), 1);
  EXPECT_EQ(ProductId(), "BLOCKID");
}

TEST_F(ImageFormat, RandomDamageNeverPassesSilently) {
  std::mt19937 random(7);
  const auto block = BuildBlockImage({}).text;
  const auto line = BuildLineImage({}).text;
  for (int round = 0; round < 400; ++round) {
    std::string text = round % 2 == 0 ? block : line;
    const std::size_t at = random() % text.size();
    const char was = text[at];
    char now = "0123456789ABCDEF"[random() % 16];
    if (now == was) now = was == '0' ? '1' : '0';
    if (was == '\r' || was == '\n') continue;
    text[at] = now;
    // One changed digit changes a sum, a check byte or the TOTAL.
    EXPECT_LT(Check(text), 0) << "round " << round << " offset " << at;
  }
}

// Hand-made block images, independent of the builder: lines of raw bytes in hex.
std::string HexLine(const std::vector<std::uint8_t>& bytes) {
  std::string line;
  for (std::uint8_t b : bytes) {
    line.push_back("0123456789ABCDEF"[b >> 4]);
    line.push_back("0123456789ABCDEF"[b & 15]);
  }
  return line + "\r\n";
}

std::uint32_t Sum(const std::vector<std::uint8_t>& bytes) {
  std::uint32_t sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  return sum;
}

// Masked names: an empty product ID and the device name "v1".
const std::vector<std::uint8_t> kNames{0xB6, 0xB4, 'v' ^ 0xC9, '1' ^ 0xC9};

// A correct trailer (free byte, kNames) for records whose bytes add up to prior.
std::vector<std::uint8_t> Trailer(std::uint32_t prior) {
  std::vector<std::uint8_t> line{0xFF, 0xF1, 0x00, 0x09, 0x00};
  line.insert(line.end(), kNames.begin(), kNames.end());
  const std::uint32_t total = prior + Sum(line);
  for (int shift : {24, 16, 8, 0}) line.push_back(static_cast<std::uint8_t>(total >> shift));
  line.push_back(static_cast<std::uint8_t>(Sum(line) - 0xFF - 0xF1 - 0x09));  // SUM of the DATA
  return line;
}

// Records whose bytes add up to exactly `amount` (each "0001 xx xx" adds 1 + 2 xx).
std::string RecordsAddingUpTo(std::uint32_t amount) {
  std::string text;
  while (amount > 0) {
    const std::uint32_t x = amount >= 512 ? 255 : (amount - 1) / 2;
    const auto b = static_cast<std::uint8_t>(x);
    text += HexLine({0x00, 0x01, b, b});
    amount -= 1 + 2 * x;
  }
  return text;
}

// LEN 3 over two DATA bytes and a SUM: zero padding would make DATA 80 80 00 pass.
TEST_F(ImageFormat, BlockRecordLenPastItsLineIsRejected) {
  const std::vector<std::uint8_t> sound{0x00, 0x02, 0x80, 0x80, 0x00};
  EXPECT_EQ(Block(HexLine(sound) + HexLine(Trailer(Sum(sound)))), 1);
  const std::vector<std::uint8_t> record{0x00, 0x03, 0x80, 0x80, 0x00};
  const std::string text = HexLine(record) + HexLine(Trailer(Sum(record)));
  EXPECT_EQ(Block(text), -2);
  EXPECT_LT(Check(text), 0);
}

// A trailer LEN past its line, chosen so zero padding would make SUM and TOTAL come out right.
TEST_F(ImageFormat, BlockTrailerLenPastItsLineIsRejected) {
  const std::vector<std::uint8_t>& names = kNames;
  const std::uint32_t claimed = 1 + 4 + 1 + 4;  // f, names, g, TOTAL (last byte missing)
  for (std::uint32_t prior = 1; prior < 300000; ++prior) {
    for (std::uint32_t s = 0; s <= 510; ++s) {
      const std::uint32_t total = prior + 0xFF + 0xF1 + claimed + Sum(names) + s;
      const std::uint32_t high = (total >> 24) + ((total >> 16) & 255) + ((total >> 8) & 255);
      if ((total & 255) != 0 || (s + Sum(names) + high) % 256 != 0) continue;
      const auto f = static_cast<std::uint8_t>(std::min<std::uint32_t>(s, 255));
      const auto g = static_cast<std::uint8_t>(s - f);
      std::vector<std::uint8_t> trailer{0xFF, 0xF1, 0x00, static_cast<std::uint8_t>(claimed), f};
      trailer.insert(trailer.end(), names.begin(), names.end());
      trailer.push_back(g);
      for (int shift : {24, 16, 8}) trailer.push_back(static_cast<std::uint8_t>(total >> shift));
      const std::string text = RecordsAddingUpTo(prior) + HexLine(trailer);
      EXPECT_LT(Block(text), 0);
      EXPECT_LT(Check(text), 0);
      // With the two missing zero bytes written out the same trailer is sound.
      trailer.insert(trailer.end(), {0x00, 0x00});
      EXPECT_EQ(Block(RecordsAddingUpTo(prior) + HexLine(trailer)), 1);
      return;
    }
  }
  FAIL() << "no trailer found";
}

}  // namespace
}  // namespace zorbent
