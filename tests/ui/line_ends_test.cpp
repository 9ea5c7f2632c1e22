#include "ui/line_ends.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zorbent::ui {
namespace {

struct FoldCase {
  const char* name;
  std::vector<std::string> pieces;
  std::string expected;
};

class FoldTest : public ::testing::TestWithParam<FoldCase> {};

TEST_P(FoldTest, FoldsAcrossReports) {
  LineEndFolder folder;
  std::string out;
  for (const auto& piece : GetParam().pieces) out += folder.Fold(piece);
  EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FoldTest,
    ::testing::Values(
        FoldCase{"CrLf", {"Port is opened!\r\n"}, "Port is opened!\n"},
        FoldCase{"Fragments", {"device version:", "V2.3", "\r\n"}, "device version:V2.3\n"},
        FoldCase{"CrLfSplit", {"a\r", "\nb"}, "a\nb"},
        FoldCase{"LoneCr", {"ELM327\rv1.5"}, "ELM327\nv1.5"},
        FoldCase{"TwoCrs", {"x\r\r", "y"}, "x\n\ny"}, FoldCase{"LfOnly", {"\n\n"}, "\n\n"},
        FoldCase{"TrailingCrHeld", {"z\r"}, "z"}, FoldCase{"Empty", {"", ""}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zorbent::ui
