#include "engine/image_format.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/update_engine.h"
#include "sim/image/image_builder.h"

namespace zorbent {
namespace {

using sim::BlockImageOptions;
using sim::BuildBlockImage;
using sim::BuildLineImage;
using sim::Corruption;
using sim::LineEnd;
using sim::LineImageOptions;

constexpr std::string_view kFormatError = "**Failed** update file format error!\r\n";

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class ImageFormat : public ::testing::Test {
 protected:
  void SetUp() override { engine_.Init(this, &Callback); }
  static void Callback(void* context, std::int32_t kind, std::intptr_t value) {
    auto* self = static_cast<ImageFormat*>(context);
    self->order_.push_back(kind);
    if (kind == kReportText) self->texts_.emplace_back(reinterpret_cast<const char*>(value));
    if (kind == kReportProgress) self->progress_.push_back(static_cast<int>(value));
  }
  // Loads text as the update job does and runs the check.
  std::int32_t Check(const std::string& text) {
    engine_.image.assign(text.begin(), text.end());
    engine_.imageSize = static_cast<std::int32_t>(text.size());
    return engine_.CheckImageFormat();
  }
  std::int32_t Block(const std::string& text) { return CheckBlockImage(engine_, Bytes(text)); }
  std::int32_t Line(const std::string& text) { return CheckLineImage(engine_, Bytes(text)); }
  std::string_view ProductId() const { return BufferText(engine_.fileProductId); }
  std::string_view DeviceName() const { return BufferText(engine_.fileDeviceName); }
  std::string_view VersionText() const { return BufferText(engine_.fileVersionText); }
  // The reader hands the flows exactly the builder's digits, line by line.
  void ExpectLines(const sim::BuiltImage& built) {
    std::array<char, kImageLineCapacity> line{};
    std::size_t position = 0;
    for (const auto& expected : built.lines) {
      position = ReadImageLine(engine_.image, position, line);
      EXPECT_EQ(std::string(line.data()), expected);
    }
    EXPECT_EQ(position, built.text.size());
  }

  std::vector<std::string> texts_;
  std::vector<int> progress_;
  std::vector<int> order_;  // report kinds in arrival order
  UpdateEngine engine_;
};

TEST(ReadImageLine, KeepsUpperCasedDigitsSwallowsLineEndRunsAndCutsLongLines) {
  const std::string text = "0a b-Fz9\r\n\r\n\n\r12\n";
  std::array<char, 32> line{};
  std::size_t next = ReadImageLine(Bytes(text), 0, line);
  EXPECT_STREQ(line.data(), "0ABF9");  // 'z' upper-cases to 'Z', which is no digit
  EXPECT_EQ(next, 14u);                // the whole CR/LF run is consumed
  next = ReadImageLine(Bytes(text), next, line);
  EXPECT_STREQ(line.data(), "12");
  EXPECT_EQ(next, text.size());
  line[0] = 'Q';
  EXPECT_EQ(ReadImageLine(Bytes(text), next, line), text.size());
  EXPECT_STREQ(line.data(), "");
  EXPECT_EQ(ReadImageLine(Bytes(text), text.size() + 40, line), text.size() + 40);
  EXPECT_STREQ(line.data(), "");
  EXPECT_EQ(ReadImageLine(Bytes("ABCD"), 1, line), 4u);  // image end without line end
  EXPECT_STREQ(line.data(), "BCD");

  const std::string longLine = std::string(100, 'F') + "\r\n12";
  std::array<char, 9> small{};
  small.fill('x');
  next = ReadImageLine(Bytes(longLine), 0, small);
  EXPECT_EQ(next, 102u);  // cut to the buffer, but fully consumed
  EXPECT_EQ(std::string(small.data()), std::string(8, 'F'));
  ReadImageLine(Bytes(longLine), next, small);
  EXPECT_STREQ(small.data(), "12");
}

TEST(HexConversion, PairsAndTextsNeverPastTheBuffer) {
  EXPECT_EQ(HexPairToByte('A', 'F'), 0xAF);
  EXPECT_EQ(HexPairToByte('0', '9'), 0x09);
  EXPECT_EQ(HexPairToByte('F', '\0'), 0xF0);
  EXPECT_EQ(HexPairToByte('G', '1'), 0x01);
  std::array<std::uint8_t, 4> out{0x55, 0x55, 0x55, 0x55};
  EXPECT_EQ(HexTextToBytes("12AB5", out), 3u);
  EXPECT_EQ(out, (std::array<std::uint8_t, 4>{0x12, 0xAB, 0x50, 0x55}));
  EXPECT_EQ(HexTextToBytes("", out), 0u);
  EXPECT_EQ(out[0], 0x12);
  std::array<std::uint8_t, 3> guarded{0, 0, 0xEE};
  EXPECT_EQ(HexTextToBytes("0102030405", std::span(guarded).first(2)), 2u);
  EXPECT_EQ(guarded[2], 0xEE);
}

TEST(VersionNumber, RulesOfTheVersionText) {
  const struct {
    const char* text;
    char x;
    std::int32_t number;
  } cases[] = {{"4.0.0X", '5', 4005},
               {"4.0.0X", '9', 4009},
               {"2.2.01", '9', 2201},
               {"2.2>.2X", '9', 2229},
               {"X2.2", '9', 0},  // only a final X is replaced
               {"2.2a7", '9', 22},
               {"", '5', 0},
               {"99999999999999999999", '5', std::numeric_limits<std::int32_t>::max()}};
  for (const auto& c : cases) EXPECT_EQ(VersionNumber(c.text, c.x), c.number) << c.text;
}

TEST(LookupLineModel, ExactNamesOnly) {
  const std::pair<const char*, int> cases[] = {{"Ruvo03", 0},  {"KTR5575", 1}, {"KTR5577", 2},
                                               {"KTR5578", 3}, {"Ruvo01", 4},  {"KTR5575 ", -1},
                                               {"KTR557", -1}, {"ruvo01", -1}, {"", -1}};
  for (const auto& [name, code] : cases) EXPECT_EQ(LookupLineModel(name), code) << name;
}

// Round trips: every layout the builder writes is accepted with its identity.
struct Style {
  bool block;
  LineEnd lineEnd;
  bool blankLines;
  bool spaces;
  bool lowerCase;
};

class RoundTrip : public ImageFormat, public ::testing::WithParamInterface<Style> {};

TEST_P(RoundTrip, AcceptedWithIdentityCountAndStep) {
  const Style& s = GetParam();
  sim::BuiltImage built;
  if (s.block) {
    BlockImageOptions o;
    o.deviceName = "zOrbent FS BT 3";
    o.records = 7;
    o.recordLen = 33;
    o.lineEnd = s.lineEnd;
    o.blankLines = s.blankLines;
    o.spaces = s.spaces;
    o.lowerCase = s.lowerCase;
    built = BuildBlockImage(o);
    ASSERT_TRUE(built.ok()) << built.error;
    EXPECT_EQ(Block(built.text), 1);
  } else {
    LineImageOptions o;
    o.lineEnd = s.lineEnd;
    o.lowerCase = s.lowerCase;
    built = BuildLineImage(o);
    ASSERT_TRUE(built.ok()) << built.error;
    EXPECT_LT(Block(built.text), 0);
    EXPECT_EQ(Line(built.text), 1);
  }
  EXPECT_EQ(Check(built.text), 1);
  EXPECT_EQ(engine_.fileFamily, s.block ? 1 : 2);
  EXPECT_EQ(ProductId(), "OBDZ-1000");
  EXPECT_EQ(DeviceName(), s.block ? "zOrbent FS BT 3" : "KTR5575");
  if (!s.block) {
    EXPECT_EQ(VersionText(), "V2.2.3X");
    EXPECT_EQ(engine_.fileVersion, 2239);
  }
  const int count = s.block ? 8 : 16;
  EXPECT_EQ(engine_.recordCount, count);
  EXPECT_DOUBLE_EQ(engine_.progressStep, 90.0 / count);
  EXPECT_TRUE(texts_.empty());
  EXPECT_EQ(progress_, std::vector<int>{2});
  EXPECT_EQ(engine_.image.size(), built.text.size());  // kept for the transfer
  ExpectLines(built);
}

INSTANTIATE_TEST_SUITE_P(Styles, RoundTrip,
                         ::testing::Values(Style{true, LineEnd::kCrLf, false, false, false},
                                           Style{true, LineEnd::kLf, false, false, false},
                                           Style{true, LineEnd::kCr, false, false, false},
                                           Style{true, LineEnd::kCrLf, true, false, false},
                                           Style{true, LineEnd::kLf, true, true, false},
                                           Style{true, LineEnd::kCr, false, true, true},
                                           Style{false, LineEnd::kCrLf, false, false, false},
                                           Style{false, LineEnd::kLf, false, false, true},
                                           Style{false, LineEnd::kCr, false, false, false}));

// Each damage is rejected with its result, one message, and nothing of the file kept.
struct Fault {
  bool block;
  Corruption corruption;
  std::int32_t result;
};

class Faults : public ImageFormat, public ::testing::WithParamInterface<Fault> {};

TEST_P(Faults, RejectedWithItsResultAndOneMessage) {
  const Fault& f = GetParam();
  if (f.block) {
    BlockImageOptions o;
    o.records = 5;
    o.corruption = f.corruption;
    o.corruptIndex = 2;
    const auto built = BuildBlockImage(o);
    ASSERT_TRUE(built.ok()) << built.error;
    EXPECT_EQ(Block(built.text), f.result);
    EXPECT_LT(Check(built.text), 0);
  } else {
    LineImageOptions o;
    o.records = 5;
    o.corruption = f.corruption;
    o.corruptIndex = 3;
    const auto built = BuildLineImage(o);
    ASSERT_TRUE(built.ok()) << built.error;
    EXPECT_EQ(Line(built.text), f.result);
    EXPECT_LT(Check(built.text), 0);
  }
  EXPECT_EQ(texts_, std::vector<std::string>{std::string(kFormatError)});
  EXPECT_EQ(progress_, std::vector<int>{2});
  EXPECT_EQ(order_, (std::vector<int>{kReportText, kReportProgress}));
  EXPECT_TRUE(engine_.image.empty());
  EXPECT_EQ(engine_.fileFamily, 0);
  EXPECT_EQ(DeviceName(), "");
  EXPECT_EQ(VersionText(), "");
  EXPECT_EQ(engine_.fileVersion, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, Faults,
    ::testing::Values(
        Fault{true, Corruption::kBadSum, -2}, Fault{true, Corruption::kBadTotal, -1},
        Fault{true, Corruption::kNoTrailer, -1}, Fault{true, Corruption::kShortTrailerLen, -3},
        Fault{true, Corruption::kLongName, -1}, Fault{true, Corruption::kNameOverrun, -1},
        Fault{true, Corruption::kLenOverrun, -2}, Fault{true, Corruption::kNoHexLine, -2},
        Fault{true, Corruption::kLongRecord, -2}, Fault{true, Corruption::kLongTrailer, -1},
        Fault{false, Corruption::kBadCheckByte, -1}, Fault{false, Corruption::kBadTotal, -1},
        Fault{false, Corruption::kNoTrailer, -2}, Fault{false, Corruption::kBadSpan, -1},
        Fault{false, Corruption::kLongName, -1}, Fault{false, Corruption::kNameOverrun, -1},
        Fault{false, Corruption::kNoHexLine, -1}),
    [](const auto& info) {
      std::string name = std::string(info.param.block ? "Block" : "Line") +
                         std::string(sim::CorruptionName(info.param.corruption));
      std::erase(name, '-');
      return name;
    });

TEST_F(ImageFormat, NoTrailerInEitherFamilyReportsOnceAndCountsLastCheck) {
  LineImageOptions o;
  o.records = 4;
  o.corruption = Corruption::kNoTrailer;
  const auto built = BuildLineImage(o);
  EXPECT_LT(Block(built.text), 0);
  EXPECT_EQ(Check(built.text), -2);
  EXPECT_EQ(texts_, std::vector<std::string>{std::string(kFormatError)});
  EXPECT_EQ(engine_.recordCount, 4);
  EXPECT_DOUBLE_EQ(engine_.progressStep, 22.5);
  EXPECT_TRUE(engine_.image.empty());
}

TEST_F(ImageFormat, FiftyLinesAndTrailerCountFiftyOne) {
  BlockImageOptions b;
  b.records = 50;
  LineImageOptions l;
  l.records = 50;
  for (const std::string& text : {BuildBlockImage(b).text, BuildLineImage(l).text}) {
    ASSERT_EQ(Check(text), 1);
    EXPECT_EQ(engine_.recordCount, 51);
    EXPECT_DOUBLE_EQ(engine_.progressStep, 90.0 / 51);
  }
}

TEST_F(ImageFormat, LineLayoutRules) {
  LineImageOptions o;
  o.records = 3;
  auto text = BuildLineImage(o).text;
  ASSERT_EQ(text.substr(text.size() - 2), "\r\n");
  text.erase(text.size() - 2, 1);  // CR LF on the data lines, LF alone after the trailer
  EXPECT_EQ(Line(text), 1);
  // No line end after the trailer, spaces or blank lines break the fixed span.
  for (void (*breakIt)(LineImageOptions&) : {+[](LineImageOptions& b) { b.trailerLineEnd = false; },
                                             +[](LineImageOptions& b) { b.spaces = true; },
                                             +[](LineImageOptions& b) { b.blankLines = true; }}) {
    LineImageOptions broken = o;
    breakIt(broken);
    EXPECT_EQ(Line(BuildLineImage(broken).text), -1);
  }
  o.trailerType = 0x02;  // the trailer's type is not the check's concern
  EXPECT_EQ(Check(BuildLineImage(o).text), 1);
}

TEST_F(ImageFormat, LinesAfterTheTrailerAreIgnored) {
  BlockImageOptions b;
  b.afterTrailer = "garbage that is no record\r\nFFF1\r\n";
  EXPECT_EQ(Check(BuildBlockImage(b).text), 1);
  LineImageOptions l;
  l.afterTrailer = "zz\n" + std::string(300, '7');
  EXPECT_EQ(Check(BuildLineImage(l).text), 1);
}

TEST_F(ImageFormat, BlockImageIsNeverTriedAsLineImage) {
  BlockImageOptions o;
  o.recordLen = 65;  // 2 + 65 + 1 bytes = 136 digits, the line-mode width
  o.records = 3;
  const auto built = BuildBlockImage(o);
  ASSERT_EQ(built.lines[0].size(), 136u);
  EXPECT_EQ(Check(built.text), 1);
  EXPECT_EQ(engine_.fileFamily, 1);
}

TEST_F(ImageFormat, EmptyAndTinyImagesFailWithoutDividingByZero) {
  EXPECT_EQ(CheckBlockImage(engine_, {}), -1);
  EXPECT_LT(Check(""), 0);
  EXPECT_GT(engine_.recordCount, 0);
  for (const char* tiny : {"\r\n\r\n", "FFF1", "FFF10000"}) EXPECT_LT(Check(tiny), 0) << tiny;
}

// Names at their limits are fine (one byte more is the kLongName and kLongTrailer faults).
TEST_F(ImageFormat, TrailersAtTheirLimits) {
  BlockImageOptions o;
  o.productId = std::string(60, 'P');
  o.deviceName = std::string(60, 'D');
  auto built = BuildBlockImage(o);
  ASSERT_EQ(built.lines.back().size(), 264u);
  EXPECT_EQ(Check(built.text), 1);
  EXPECT_EQ(DeviceName(), o.deviceName);
  o.productId = "P";
  o.deviceName = "zOrbent FS v";
  o.recordLen = sim::kMaxBlockRecordLen;
  built = BuildBlockImage(o);
  ASSERT_EQ(built.lines[0].size(), 248u);
  EXPECT_EQ(Check(built.text), 1);
  o.productId.clear();
  o.deviceName.clear();  // LEN exactly 7
  EXPECT_EQ(Check(BuildBlockImage(o).text), 1);
  EXPECT_EQ(ProductId(), "");

  LineImageOptions l;
  l.productId = std::string(53 - 7 - 7, 'P');  // the names fill the line trailer exactly
  l.deviceName = "KTR5578";
  l.versionText = "V1.2.3";
  EXPECT_EQ(Check(BuildLineImage(l).text), 1);
  EXPECT_EQ(ProductId(), l.productId);
  EXPECT_EQ(VersionText(), "V1.2.3");
  EXPECT_EQ(engine_.fileVersion, 123);
}

TEST_F(ImageFormat, BlockLineWithoutAnyHexDigitIsRejected) {
  BlockImageOptions o;
  o.records = 3;
  EXPECT_LT(Block("-- comment --\r\n" + BuildBlockImage(o).text), 0);
}

// The final X of a line-mode version follows the file's own model, whatever job ran before.
TEST_F(ImageFormat, FinalXOfTheVersionFollowsTheFilesOwnModel) {
  const struct {
    const char* deviceName;
    const char* versionText;
    std::int32_t version;
  } cases[] = {{"Ruvo03", "V4.0.0X", 4005},
               {"KTR5577", "V4.0.0X", 4009},
               {"Ruvo01", "V2.2.2X", 2225},
               {"KTR5578", "V2.2.2X", 2229},
               {"Unknown", "V2.2.2X", 2229},
               {"KTR5575", "V2.2.01", 2201},
               {"KTR5575", "zOrbent_V2.2.3X", 2239},
               {"KTR5575", "VX", 9},
               {"KTR5575", "Vbeta", 0}};
  for (const auto& c : cases) {
    for (std::uint8_t stale : {0, 4, 2, 255}) {
      engine_.modelCode = stale;
      LineImageOptions o;
      o.deviceName = c.deviceName;
      o.versionText = c.versionText;
      ASSERT_EQ(Check(BuildLineImage(o).text), 1);
      EXPECT_EQ(engine_.fileVersion, c.version) << c.versionText << ", stale model " << int(stale);
    }
  }
}

TEST_F(ImageFormat, VersionTextWithoutVIsRejected) {
  LineImageOptions o;
  o.versionText = "2.2.01";
  const auto built = BuildLineImage(o);
  EXPECT_EQ(Line(built.text), -1);
  EXPECT_EQ(Check(built.text), -1);
  EXPECT_EQ(texts_.size(), 1u);
}

TEST_F(ImageFormat, FailedChecksLeaveTheLastGoodIdentity) {
  LineImageOptions good;
  good.deviceName = "Ruvo03";
  good.versionText = "V4.0.0X";
  ASSERT_EQ(Check(BuildLineImage(good).text), 1);

  LineImageOptions bad;
  bad.productId = "OTHER";
  bad.deviceName = "KTR5577";
  bad.versionText = "V9.9.9";
  for (Corruption c : {Corruption::kBadTotal, Corruption::kNameOverrun, Corruption::kLongName}) {
    bad.corruption = c;
    EXPECT_LT(Check(BuildLineImage(bad).text), 0);
  }
  bad.corruption = Corruption::kNone;
  bad.versionText = "9.9.9";  // names unmask fine, then the version rejects
  EXPECT_LT(Check(BuildLineImage(bad).text), 0);
  BlockImageOptions block;
  block.productId = "BLOCKID";
  for (Corruption c : {Corruption::kBadTotal, Corruption::kNameOverrun}) {
    block.corruption = c;
    EXPECT_LT(Check(BuildBlockImage(block).text), 0);
  }
  EXPECT_EQ(engine_.fileFamily, 2);
  EXPECT_EQ(ProductId(), "OBDZ-1000");
  EXPECT_EQ(DeviceName(), "Ruvo03");
  EXPECT_EQ(VersionText(), "V4.0.0X");
  EXPECT_EQ(engine_.fileVersion, 4005);

  block.corruption = Corruption::kNone;
  ASSERT_EQ(Check(BuildBlockImage(block).text), 1);
  EXPECT_EQ(engine_.fileFamily, 1);
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
  for (int round = 0; round < 200; ++round) {
    std::string text(random() % 600, '\0');
    for (char& c : text) c = "0123456789ABCDEFfff1\r\n \x80"[random() % 24];
    Check(text);  // only must not crash or read out of bounds
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

// A correct trailer (free byte, two empty names) for records whose bytes add up to prior.
std::vector<std::uint8_t> Trailer(std::uint32_t prior) {
  std::vector<std::uint8_t> data{0x00, 0xB6, 0xB6};
  const std::uint32_t total = prior + 0xFF + 0xF1 + 0x00 + 0x07 + Sum(data);
  for (int shift : {24, 16, 8, 0}) data.push_back(static_cast<std::uint8_t>(total >> shift));
  std::vector<std::uint8_t> line;
  line.reserve(4 + data.size() + 1);
  for (std::uint8_t b : {0xFF, 0xF1, 0x00, 0x07}) line.push_back(b);
  for (std::uint8_t b : data) line.push_back(b);
  line.push_back(static_cast<std::uint8_t>(Sum(data)));
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

// LEN 3 over a line holding two DATA bytes and a SUM: a reader that pads the missing SUM
// with 0 finds DATA 80 80 00 summing to 00 and would accept the record.
TEST_F(ImageFormat, BlockRecordLenPastItsLineIsRejected) {
  const std::vector<std::uint8_t> sound{0x00, 0x02, 0x80, 0x80, 0x00};
  EXPECT_EQ(Block(HexLine(sound) + HexLine(Trailer(Sum(sound)))), 1);
  const std::vector<std::uint8_t> record{0x00, 0x03, 0x80, 0x80, 0x00};
  const std::string text = HexLine(record) + HexLine(Trailer(Sum(record)));
  EXPECT_EQ(Block(text), -2);
  EXPECT_LT(Check(text), 0);
}

// A trailer whose LEN claims its SUM and one byte more than the line holds, with bytes chosen
// so that zero padding would make both its SUM and its TOTAL come out right.
TEST_F(ImageFormat, BlockTrailerLenPastItsLineIsRejected) {
  const std::vector<std::uint8_t> names{0xB6, 0xB6};
  const std::uint32_t claimed = 1 + 2 + 1 + 4;  // f, names, g, TOTAL (last byte missing)
  for (std::uint32_t prior = 1; prior < 300000; ++prior) {
    for (std::uint32_t s = 0; s <= 510; ++s) {
      const std::uint32_t total = prior + 0xFF + 0xF1 + claimed + Sum(names) + s;
      const std::uint32_t high = (total >> 24) + ((total >> 16) & 255) + ((total >> 8) & 255);
      if ((total & 255) != 0 || (s + Sum(names) + high) % 256 != 0) continue;
      const auto f = static_cast<std::uint8_t>(std::min<std::uint32_t>(s, 255));
      const auto g = static_cast<std::uint8_t>(s - f);
      std::vector<std::uint8_t> trailer{0xFF, 0xF1, 0x00, static_cast<std::uint8_t>(claimed),
                                        f,    0xB6, 0xB6, g};
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

// A line-mode line must be 136 hex digits: a stray letter in place of a 0 low digit keeps
// the span and, read as 0, even the check byte.
TEST_F(ImageFormat, LineModeLineWithANonHexCharacterIsRejected) {
  LineImageOptions o;
  o.records = 3;
  const auto built = BuildLineImage(o);
  std::size_t at = std::string::npos;
  for (std::size_t i = 3; i < 134 && at == std::string::npos; i += 2)
    if (built.lines[1][i] == '0') at = 138 + i;
  ASSERT_NE(at, std::string::npos);
  std::string text = built.text;
  text[at] = 'G';
  EXPECT_LT(Line(text), 0);
}

}  // namespace
}  // namespace zorbent
