#include "ui/serial_ports.h"

#include <gtest/gtest.h>

namespace zorbent::ui {
namespace {

struct SelectionCase {
  int noted;
  int count;
  int expected;
};

class RefreshSelectionTest : public ::testing::TestWithParam<SelectionCase> {};

TEST_P(RefreshSelectionTest, KeepsThePositionWhileInRange) {
  EXPECT_EQ(RefreshSelection(GetParam().noted, GetParam().count), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, RefreshSelectionTest,
                         ::testing::Values(SelectionCase{1, 2, 1}, SelectionCase{1, 1, 0},
                                           SelectionCase{-1, 3, 0}, SelectionCase{0, 0, -1},
                                           SelectionCase{-1, 0, -1}, SelectionCase{5, 6, 5},
                                           SelectionCase{6, 6, 0}));

}  // namespace
}  // namespace zorbent::ui
