#include "port/port_config.h"

#include <gtest/gtest.h>

namespace zorbent {
namespace {

// Which keys each kind of string fills is checked by the config fuzz target on every input,
// and by every update the flows run; here the grammar's edges.
TEST(ParseConfigString, ExtraPiecesIgnoredBadGrammarRefused) {
  ParsedConfig p;
  EXPECT_TRUE(ParseConfigString("com|COM3:115200|x", p));
  EXPECT_TRUE(ParseConfigString("com|COM3:115200:x", p));
  EXPECT_TRUE(ParseConfigString("com|:115200", p));
  EXPECT_EQ(p.config.Get("name"), "");
  for (const char* bad : {"com|COM3", "com", "serial|COM3:9600", "COM|COM3:9600", ""}) {
    EXPECT_FALSE(ParseConfigString(bad, p)) << bad;
  }
}

TEST(AtoiLike, BehavesLikeAtoi) {
  EXPECT_EQ(AtoiLike("115200"), 115200);
  EXPECT_EQ(AtoiLike("  42x"), 42);
  EXPECT_EQ(AtoiLike("-7"), -7);
  EXPECT_EQ(AtoiLike("fast"), 0);
  EXPECT_EQ(AtoiLike("99999999999999999999"), 2147483647);
}

}  // namespace
}  // namespace zorbent
