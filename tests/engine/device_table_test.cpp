// Each model row pinned against the adapters' own answers and file names, written out here
// rather than read from the table, so a wrong row cannot hide behind code that agrees with it.

#include <gtest/gtest.h>

#include "engine/device_table.h"

namespace zorbent {
namespace {

struct Row {
  const char* name;
  Family family;
  const char* qki;     // an answer to QKI that names it
  const char* qkvers;  // ... to QKVERS ("" when QKVERS does not tell)
  const char* file;    // a device name its files carry
  char xDigit;
  const char* download;  // block mode: the command that opens its download
};

constexpr Row kRows[] = {
    {"Ruvo03", Family::kLine, "RuvoPro v2.3", "", "Ruvo03", '5', ""},
    {"KTR5575", Family::kLine, "zOrbent-MC v2.2.30", "KTR5575 V2.2", "KTR5575", '9', ""},
    {"KTR5577", Family::kLine, "zOrbent BM v2.2.30", "KTR5577 V2.2", "KTR5577", '9', ""},
    {"KTR5578", Family::kLine, "zOrbent FD v2.2.30", "KTR5578 V2.2", "KTR5578", '9', ""},
    {"Ruvo01", Family::kLine, "Ruvo01 v2.1", "", "Ruvo01", '5', ""},
    {"KTR558", Family::kBlock, "zOrbent FS v2.3.01", "KTR558 V2.3.01", "zOrbent FS v2.4", '9',
     "QKDLKTR558"},
    {"KTR5688", Family::kBlock, "zOrbent FS BT v2.3.01", "KTR5688 V2.3.01", "zOrbent FS BT v2.4",
     '9', "QKDLKTR5688"},
};

TEST(DeviceTable, EveryRowIsTheModelItsAnswersAndFilesName) {
  ASSERT_EQ(std::size(kRows), DeviceModels().size());
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    const DeviceModel* model = ModelByName(row.name);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(ModelByCode(model->code), model);
    EXPECT_EQ(model->family, row.family);
    EXPECT_EQ(ModelOfQki(row.qki), model->code);
    EXPECT_EQ(ModelOfQkvers(row.qkvers), *row.qkvers ? model->code : -1);
    EXPECT_EQ(ModelOfAnswers("", row.qkvers), *row.qkvers ? model->code : -1);
    EXPECT_EQ(ModelOfFile(row.family, row.file), model->code);
    EXPECT_EQ(ModelOfFile(row.family == Family::kLine ? Family::kBlock : Family::kLine, row.file),
              -1);
    EXPECT_EQ(model->xDigit, row.xDigit);
    EXPECT_EQ(model->downloadCommand, row.download);
  }
  // Answers of other adapters, and the other spellings of the KTR5575, name what they should.
  EXPECT_EQ(ModelOfQki("Z_Orbe01 v2.2.2X"), 1);
  EXPECT_EQ(ModelOfQki("zOrbent MC v2.2.2X"), 1);
  EXPECT_EQ(ModelOfQki("ELM327 v1.5"), -1);
  EXPECT_EQ(ModelOfQkvers("RuvoXX V4.0.05"), -1);              // both Ruvo models answer so
  EXPECT_EQ(ModelOfFile(Family::kLine, "KTR5577 "), -1);       // line-mode names match exactly
  EXPECT_EQ(ModelOfFile(Family::kBlock, "zOrbenX v2.4"), -1);  // block names by their whole start
  EXPECT_EQ(FileDeviceNames(Family::kBlock), "zOrbent FS v..., zOrbent FS BT v...");
  EXPECT_EQ(IdentifyingAnswer(*ModelByName("KTR558")), "answers \"KTR558...\" to QKVERS");
}

}  // namespace
}  // namespace zorbent
