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

struct Reports {
  std::vector<std::string> texts;
  std::vector<int> progress;
  std::vector<int> order;  // 0 text, 1 progress, in arrival order
  static void Callback(void* context, std::int32_t kind, std::intptr_t value) {
    auto* self = static_cast<Reports*>(context);
    self->order.push_back(kind);
    if (kind == kReportText) self->texts.emplace_back(reinterpret_cast<const char*>(value));
    if (kind == kReportProgress) self->progress.push_back(static_cast<int>(value));
  }
};

class ImageFormat : public ::testing::Test {
 protected:
  void SetUp() override { engine_.Init(&reports_, &Reports::Callback); }
  // Loads text as the update job does and runs the check.
  std::int32_t Check(const std::string& text) {
    engine_.image.assign(text.begin(), text.end());
    engine_.imageSize = static_cast<std::int32_t>(text.size());
    return engine_.CheckImageFormat();
  }
  std::string_view ProductId() const { return BufferText(engine_.fileProductId); }
  std::string_view DeviceName() const { return BufferText(engine_.fileDeviceName); }
  std::string_view VersionText() const { return BufferText(engine_.fileVersionText); }

  Reports reports_;
  UpdateEngine engine_;
};

// --- line reader and hex conversions -------------------------------------------------------

TEST(ReadImageLine, KeepsHexDigitsUpperCasedAndSwallowsWholeLineEndRuns) {
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
}

TEST(ReadImageLine, StopsAtImageEndWithoutLineEnd) {
  const std::string text = "ABCD";
  std::array<char, 8> line{};
  EXPECT_EQ(ReadImageLine(Bytes(text), 1, line), 4u);
  EXPECT_STREQ(line.data(), "BCD");
}

TEST(ReadImageLine, LongLineIsCutToTheBufferButFullyConsumed) {
  const std::string text = std::string(100, 'F') + "\r\n12";
  std::array<char, 9> line{};
  line.fill('x');
  const std::size_t next = ReadImageLine(Bytes(text), 0, line);
  EXPECT_EQ(next, 102u);
  EXPECT_EQ(std::string(line.data()), std::string(8, 'F'));
  ReadImageLine(Bytes(text), next, line);
  EXPECT_STREQ(line.data(), "12");
}

TEST(HexConversion, PairsAndTexts) {
  EXPECT_EQ(HexPairToByte('A', 'F'), 0xAF);
  EXPECT_EQ(HexPairToByte('0', '9'), 0x09);
  EXPECT_EQ(HexPairToByte('F', '\0'), 0xF0);
  EXPECT_EQ(HexPairToByte('G', '1'), 0x01);

  std::array<std::uint8_t, 4> out{0x55, 0x55, 0x55, 0x55};
  EXPECT_EQ(HexTextToBytes("12AB5", out), 3u);
  EXPECT_EQ(out[0], 0x12);
  EXPECT_EQ(out[1], 0xAB);
  EXPECT_EQ(out[2], 0x50);
  EXPECT_EQ(out[3], 0x55);
  EXPECT_EQ(HexTextToBytes("", out), 0u);
  EXPECT_EQ(out[0], 0x12);
  // Never past the buffer, however long the text.
  std::array<std::uint8_t, 3> guarded{0, 0, 0xEE};
  EXPECT_EQ(HexTextToBytes("0102030405", std::span(guarded).first(2)), 2u);
  EXPECT_EQ(guarded[2], 0xEE);
}

// --- versions and models --------------------------------------------------------------------

TEST(VersionNumber, RulesOfTheVersionText) {
  EXPECT_EQ(VersionNumber("4.0.0X", '5'), 4005);
  EXPECT_EQ(VersionNumber("4.0.0X", '9'), 4009);
  EXPECT_EQ(VersionNumber("2.2.01", '9'), 2201);
  EXPECT_EQ(VersionNumber("2.2>.2X", '9'), 2229);
  EXPECT_EQ(VersionNumber("X2.2", '9'), 0);  // only a final X is replaced
  EXPECT_EQ(VersionNumber("2.2a7", '9'), 22);
  EXPECT_EQ(VersionNumber("", '5'), 0);
  EXPECT_EQ(VersionNumber("99999999999999999999", '5'), std::numeric_limits<std::int32_t>::max());
}

TEST(LookupLineModel, ExactNamesOnly) {
  EXPECT_EQ(LookupLineModel("Ruvo03"), 0);
  EXPECT_EQ(LookupLineModel("KTR5575"), 1);
  EXPECT_EQ(LookupLineModel("KTR5577"), 2);
  EXPECT_EQ(LookupLineModel("KTR5578"), 3);
  EXPECT_EQ(LookupLineModel("Ruvo01"), 4);
  EXPECT_EQ(LookupLineModel("KTR5575 "), -1);
  EXPECT_EQ(LookupLineModel("KTR557"), -1);
  EXPECT_EQ(LookupLineModel("ruvo01"), -1);
  EXPECT_EQ(LookupLineModel(""), -1);
}

// --- round trips ----------------------------------------------------------------------------

struct Style {
  LineEnd lineEnd;
  bool blankLines;
  bool spaces;
  bool lowerCase;
};

class BlockRoundTrip : public ImageFormat, public ::testing::WithParamInterface<Style> {};

TEST_P(BlockRoundTrip, AcceptedWithIdentityCountAndStep) {
  BlockImageOptions o;
  o.deviceName = "zOrbent FS BT 3";
  o.records = 7;
  o.recordLen = 33;
  o.lineEnd = GetParam().lineEnd;
  o.blankLines = GetParam().blankLines;
  o.spaces = GetParam().spaces;
  o.lowerCase = GetParam().lowerCase;
  const auto built = BuildBlockImage(o);
  ASSERT_TRUE(built.ok()) << built.error;
  EXPECT_EQ(CheckBlockImage(engine_, Bytes(built.text)), 1);
  EXPECT_EQ(Check(built.text), 1);
  EXPECT_EQ(engine_.fileFamily, 1);
  EXPECT_EQ(ProductId(), "OBDZ-1000");
  EXPECT_EQ(DeviceName(), "zOrbent FS BT 3");
  EXPECT_EQ(engine_.recordCount, 8);
  EXPECT_DOUBLE_EQ(engine_.progressStep, 90.0 / 8);
  EXPECT_TRUE(reports_.texts.empty());
  EXPECT_EQ(reports_.progress, std::vector<int>{2});
  EXPECT_EQ(engine_.image.size(), built.text.size());  // kept for the transfer

  // The reader hands the flows exactly the builder's digits, line by line.
  std::array<char, kImageLineCapacity> line{};
  std::size_t position = 0;
  for (const auto& expected : built.lines) {
    position = ReadImageLine(engine_.image, position, line);
    EXPECT_EQ(std::string(line.data()), expected);
  }
  EXPECT_EQ(position, built.text.size());
}

INSTANTIATE_TEST_SUITE_P(Styles, BlockRoundTrip,
                         ::testing::Values(Style{LineEnd::kCrLf, false, false, false},
                                           Style{LineEnd::kLf, false, false, false},
                                           Style{LineEnd::kCr, false, false, false},
                                           Style{LineEnd::kCrLf, true, false, false},
                                           Style{LineEnd::kLf, true, true, false},
                                           Style{LineEnd::kCr, false, true, true}));

class LineRoundTrip : public ImageFormat, public ::testing::WithParamInterface<LineEnd> {};

TEST_P(LineRoundTrip, AcceptedWithIdentityVersionAndCount) {
  LineImageOptions o;
  o.lineEnd = GetParam();
  o.lowerCase = GetParam() == LineEnd::kLf;
  const auto built = BuildLineImage(o);
  ASSERT_TRUE(built.ok()) << built.error;
  EXPECT_LT(CheckBlockImage(engine_, Bytes(built.text)), 0);
  EXPECT_EQ(CheckLineImage(engine_, Bytes(built.text)), 1);
  EXPECT_EQ(Check(built.text), 1);
  EXPECT_EQ(engine_.fileFamily, 2);
  EXPECT_EQ(ProductId(), "OBDZ-1000");
  EXPECT_EQ(DeviceName(), "KTR5575");
  EXPECT_EQ(VersionText(), "V2.2.3X");
  EXPECT_EQ(engine_.fileVersion, 2239);
  EXPECT_EQ(engine_.recordCount, 16);
  EXPECT_DOUBLE_EQ(engine_.progressStep, 90.0 / 16);
  EXPECT_TRUE(reports_.texts.empty());
  EXPECT_EQ(reports_.progress, std::vector<int>{2});

  std::array<char, kImageLineCapacity> line{};
  std::size_t position = 0;
  for (const auto& expected : built.lines) {
    position = ReadImageLine(engine_.image, position, line);
    EXPECT_EQ(std::string(line.data()), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(LineEnds, LineRoundTrip,
                         ::testing::Values(LineEnd::kCrLf, LineEnd::kLf, LineEnd::kCr));

// --- failure causes -------------------------------------------------------------------------

struct Fault {
  Corruption corruption;
  std::int32_t result;
};

class BlockFault : public ImageFormat, public ::testing::WithParamInterface<Fault> {};

TEST_P(BlockFault, RejectedWithItsResultAndOneMessage) {
  BlockImageOptions o;
  o.records = 5;
  o.corruption = GetParam().corruption;
  o.corruptIndex = 2;
  const auto built = BuildBlockImage(o);
  ASSERT_TRUE(built.ok()) << built.error;
  EXPECT_EQ(CheckBlockImage(engine_, Bytes(built.text)), GetParam().result);
  EXPECT_LT(Check(built.text), 0);
  ASSERT_EQ(reports_.texts.size(), 1u);
  EXPECT_EQ(reports_.texts[0], kFormatError);
  EXPECT_EQ(reports_.progress, std::vector<int>{2});
  EXPECT_EQ(reports_.order, (std::vector<int>{kReportText, kReportProgress}));
  EXPECT_TRUE(engine_.image.empty());
  EXPECT_EQ(engine_.fileFamily, 0);
  EXPECT_EQ(DeviceName(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Causes, BlockFault,
    ::testing::Values(Fault{Corruption::kBadSum, -2}, Fault{Corruption::kBadTotal, -1},
                      Fault{Corruption::kNoTrailer, -1}, Fault{Corruption::kShortTrailerLen, -3},
                      Fault{Corruption::kLongName, -1}, Fault{Corruption::kNameOverrun, -1},
                      Fault{Corruption::kLenOverrun, -2}, Fault{Corruption::kNoHexLine, -2},
                      Fault{Corruption::kLongRecord, -2}, Fault{Corruption::kLongTrailer, -1}),
    [](const auto& info) {
      std::string name(sim::CorruptionName(info.param.corruption));
      std::erase(name, '-');
      return name;
    });

class LineFault : public ImageFormat, public ::testing::WithParamInterface<Fault> {};

TEST_P(LineFault, RejectedWithItsResultAndOneMessage) {
  LineImageOptions o;
  o.records = 5;
  o.corruption = GetParam().corruption;
  o.corruptIndex = 3;
  const auto built = BuildLineImage(o);
  ASSERT_TRUE(built.ok()) << built.error;
  EXPECT_EQ(CheckLineImage(engine_, Bytes(built.text)), GetParam().result);
  EXPECT_LT(Check(built.text), 0);
  ASSERT_EQ(reports_.texts.size(), 1u);
  EXPECT_EQ(reports_.texts[0], kFormatError);
  EXPECT_EQ(reports_.order, (std::vector<int>{kReportText, kReportProgress}));
  EXPECT_TRUE(engine_.image.empty());
  EXPECT_EQ(engine_.fileFamily, 0);
  EXPECT_EQ(VersionText(), "");
  EXPECT_EQ(engine_.fileVersion, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, LineFault,
    ::testing::Values(Fault{Corruption::kBadCheckByte, -1}, Fault{Corruption::kBadTotal, -1},
                      Fault{Corruption::kNoTrailer, -2}, Fault{Corruption::kBadSpan, -1},
                      Fault{Corruption::kLongName, -1}, Fault{Corruption::kNameOverrun, -1},
                      Fault{Corruption::kNoHexLine, -1}),
    [](const auto& info) {
      std::string name(sim::CorruptionName(info.param.corruption));
      std::erase(name, '-');
      return name;
    });

// --- edge cases -----------------------------------------------------------------------------

TEST_F(ImageFormat, NoTrailerInEitherFamilyReportsOnceAndCountsLastCheck) {
  LineImageOptions o;
  o.records = 4;
  o.corruption = Corruption::kNoTrailer;
  const auto built = BuildLineImage(o);
  EXPECT_LT(CheckBlockImage(engine_, Bytes(built.text)), 0);
  EXPECT_EQ(Check(built.text), -2);
  EXPECT_EQ(reports_.texts, std::vector<std::string>{std::string(kFormatError)});
  EXPECT_EQ(engine_.recordCount, 4);
  EXPECT_DOUBLE_EQ(engine_.progressStep, 22.5);
  EXPECT_TRUE(engine_.image.empty());
}

TEST_F(ImageFormat, FiftyLinesAndTrailerCountFiftyOne) {
  BlockImageOptions b;
  b.records = 50;
  ASSERT_EQ(Check(BuildBlockImage(b).text), 1);
  EXPECT_EQ(engine_.recordCount, 51);
  EXPECT_DOUBLE_EQ(engine_.progressStep, 90.0 / 51);
  LineImageOptions l;
  l.records = 50;
  ASSERT_EQ(Check(BuildLineImage(l).text), 1);
  EXPECT_EQ(engine_.recordCount, 51);
  EXPECT_DOUBLE_EQ(engine_.progressStep, 90.0 / 51);
}

TEST_F(ImageFormat, LineTrailerFollowedBySingleLfIsAccepted) {
  LineImageOptions o;
  o.records = 3;
  auto text = BuildLineImage(o).text;
  ASSERT_EQ(text.substr(text.size() - 2), "\r\n");
  text.erase(text.size() - 2, 1);  // CR LF on the data lines, LF alone after the trailer
  EXPECT_EQ(CheckLineImage(engine_, Bytes(text)), 1);
}

TEST_F(ImageFormat, LineImageBrokenByLayoutIsRejected) {
  LineImageOptions o;
  o.records = 3;
  o.trailerLineEnd = false;
  EXPECT_EQ(CheckLineImage(engine_, Bytes(BuildLineImage(o).text)), -1);
  o.trailerLineEnd = true;
  o.spaces = true;
  EXPECT_EQ(CheckLineImage(engine_, Bytes(BuildLineImage(o).text)), -1);
  o.spaces = false;
  o.blankLines = true;
  EXPECT_EQ(CheckLineImage(engine_, Bytes(BuildLineImage(o).text)), -1);
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
  // A block image whose every line happens to be 136 digits.
  BlockImageOptions o;
  o.recordLen = 65;  // 2 + 65 + 1 bytes = 136 digits
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
  EXPECT_LT(Check("\r\n\r\n"), 0);
  EXPECT_LT(Check("FFF1"), 0);
  EXPECT_LT(Check("FFF10000"), 0);
}

// Names at their limits are fine; one more byte is a format error.
TEST_F(ImageFormat, BlockTrailerAtItsLimits) {
  BlockImageOptions o;
  o.productId = std::string(60, 'P');
  o.deviceName = std::string(60, 'D');
  auto built = BuildBlockImage(o);
  ASSERT_TRUE(built.ok());
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
}

TEST_F(ImageFormat, LineNamesFillingTheTrailerExactly) {
  LineImageOptions o;
  o.productId = std::string(53 - 7 - 7, 'P');
  o.deviceName = "KTR5578";
  o.versionText = "V1.2.3";
  ASSERT_TRUE(BuildLineImage(o).ok());
  EXPECT_EQ(Check(BuildLineImage(o).text), 1);
  EXPECT_EQ(ProductId(), o.productId);
  EXPECT_EQ(VersionText(), "V1.2.3");
  EXPECT_EQ(engine_.fileVersion, 123);
}

TEST_F(ImageFormat, BlockLineWithoutAnyHexDigitIsRejected) {
  BlockImageOptions o;
  o.records = 3;
  auto text = BuildBlockImage(o).text;
  text.insert(0, "-- comment --\r\n");
  EXPECT_LT(CheckBlockImage(engine_, Bytes(text)), 0);
}

// --- version of a line-mode file ------------------------------------------------------------

struct VersionCase {
  const char* deviceName;
  const char* versionText;
  std::int32_t version;
};

class LineVersion : public ImageFormat, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(LineVersion, FinalXFollowsTheFilesOwnModel) {
  for (std::uint8_t stale : {0, 4, 2, 255}) {
    engine_.modelCode = stale;  // left by an earlier job; must not matter
    LineImageOptions o;
    o.deviceName = GetParam().deviceName;
    o.versionText = GetParam().versionText;
    ASSERT_EQ(Check(BuildLineImage(o).text), 1);
    EXPECT_EQ(engine_.fileVersion, GetParam().version) << "stale model " << int(stale);
  }
}

INSTANTIATE_TEST_SUITE_P(Examples, LineVersion,
                         ::testing::Values(VersionCase{"Ruvo03", "V4.0.0X", 4005},
                                           VersionCase{"KTR5577", "V4.0.0X", 4009},
                                           VersionCase{"Ruvo01", "V2.2.2X", 2225},
                                           VersionCase{"KTR5578", "V2.2.2X", 2229},
                                           VersionCase{"Unknown", "V2.2.2X", 2229},
                                           VersionCase{"KTR5575", "V2.2.01", 2201},
                                           VersionCase{"KTR5575", "zOrbent_V2.2.3X", 2239},
                                           VersionCase{"KTR5575", "VX", 9},
                                           VersionCase{"KTR5575", "Vbeta", 0}));

TEST_F(ImageFormat, VersionTextWithoutVIsRejected) {
  LineImageOptions o;
  o.versionText = "2.2.01";
  const auto built = BuildLineImage(o);
  EXPECT_EQ(CheckLineImage(engine_, Bytes(built.text)), -1);
  EXPECT_EQ(Check(built.text), -1);
  EXPECT_EQ(reports_.texts.size(), 1u);
}

// --- identity fields survive a failed check -------------------------------------------------

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
  block.corruption = Corruption::kBadTotal;
  EXPECT_LT(Check(BuildBlockImage(block).text), 0);
  block.corruption = Corruption::kNameOverrun;
  EXPECT_LT(Check(BuildBlockImage(block).text), 0);

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

// --- hostile input --------------------------------------------------------------------------

TEST_F(ImageFormat, RandomDamageNeverPassesSilently) {
  std::mt19937 random(7);
  const auto block = BuildBlockImage({}).text;
  const auto line = BuildLineImage({}).text;
  for (int round = 0; round < 400; ++round) {
    std::string text = round % 2 == 0 ? block : line;
    const std::size_t at = random() % text.size();
    const char was = text[at];
    static constexpr char kHex[] = "0123456789ABCDEF";
    char now = kHex[random() % 16];
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

}  // namespace
}  // namespace zorbent

namespace zorbent {
namespace {

// Hand-made block images, independent of the builder: lines of raw bytes in hex.
std::string HexLine(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string line;
  for (std::uint8_t b : bytes) {
    line.push_back(kDigits[b >> 4]);
    line.push_back(kDigits[b & 15]);
  }
  return line + "\r\n";
}

std::uint32_t Sum(const std::vector<std::uint8_t>& bytes) {
  std::uint32_t sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  return sum;
}

// A correct trailer for records whose bytes add up to prior.
std::vector<std::uint8_t> Trailer(std::uint32_t prior) {
  std::vector<std::uint8_t> data{0x00, 0xB6, 0xB6};  // free byte, two empty names
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
    std::uint32_t x = amount >= 512 ? 255 : (amount - 1) / 2;
    const auto b = static_cast<std::uint8_t>(x);
    text += HexLine({0x00, 0x01, b, b});
    amount -= 1 + 2 * x;
  }
  return text;
}

TEST_F(ImageFormat, HandMadeBlockImageIsAccepted) {
  const std::vector<std::uint8_t> record{0x00, 0x02, 0x80, 0x80, 0x00};
  const std::string text = HexLine(record) + HexLine(Trailer(Sum(record)));
  EXPECT_EQ(CheckBlockImage(engine_, Bytes(text)), 1);
}

// LEN 3 over a line holding two DATA bytes and a SUM: a reader that pads the missing SUM
// with 0 finds DATA 80 80 00 summing to 00 and would accept the record.
TEST_F(ImageFormat, BlockRecordLenPastItsLineIsRejected) {
  const std::vector<std::uint8_t> record{0x00, 0x03, 0x80, 0x80, 0x00};
  const std::string text = HexLine(record) + HexLine(Trailer(Sum(record)));
  EXPECT_EQ(CheckBlockImage(engine_, Bytes(text)), -2);
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
      EXPECT_LT(CheckBlockImage(engine_, Bytes(text)), 0);
      EXPECT_LT(Check(text), 0);
      // With the two missing zero bytes written out the same trailer is sound.
      trailer.insert(trailer.end(), {0x00, 0x00});
      EXPECT_EQ(CheckBlockImage(engine_, Bytes(RecordsAddingUpTo(prior) + HexLine(trailer))), 1);
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
  for (std::size_t i = 3; i < 134 && at == std::string::npos; i += 2) {
    if (built.lines[1][i] == '0') at = 138 + i;
  }
  ASSERT_NE(at, std::string::npos);
  std::string text = built.text;
  text[at] = 'G';
  EXPECT_LT(CheckLineImage(engine_, Bytes(text)), 0);
}

TEST_F(ImageFormat, LineTrailerTypeIsNotTheChecksConcern) {
  LineImageOptions o;
  o.trailerType = 0x02;
  EXPECT_EQ(Check(BuildLineImage(o).text), 1);
}

}  // namespace
}  // namespace zorbent
