#include "platform/clock.h"

#include <gtest/gtest.h>

namespace zorbent {
namespace {

TEST(Clock, ElapsedTimeSurvivesTheWrap) {
  // Put the counter just before 2^32 and step across it.
  const std::uint32_t base = TickCount();
  SetTickOffsetForTesting(0xFFFFFFFFu - base - 5);
  const std::uint32_t start = TickCount();
  SleepMs(20);
  const std::uint32_t now = TickCount();
  SetTickOffsetForTesting(0);
  EXPECT_LT(now, start);  // wrapped
  EXPECT_GE(static_cast<std::uint32_t>(now - start), 20u);
  EXPECT_LT(static_cast<std::uint32_t>(now - start), 10000u);
}

}  // namespace
}  // namespace zorbent
