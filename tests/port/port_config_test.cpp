#include "port/port_config.h"

#include <gtest/gtest.h>

namespace zorbent {
namespace {

// Which keys each kind of string fills is checked by the config fuzz target on every input,
// and by every update the flows run; here the grammar's edges. A rate of 0 would hang up a
// serial line, so rates and TCP ports are whole numbers in digits alone.
TEST(ParseConfigString, ExtraPiecesIgnoredBadGrammarRefused) {
  ParsedConfig p;
  for (const char* good : {"com|COM3:115200|x", "com|COM3:115200:x", "com|/dev/ttyUSB0:1",
                           "com|ttyUSB0:2147483647", "tcp|h:1", "tcp|192.168.0.10:65535"}) {
    EXPECT_TRUE(ParseConfigString(good, p)) << good;
  }
  EXPECT_EQ(p.config.Get("remote_port"), "65535");
  // clang-format off
  const char* const refused[] = {
      "com|COM3", "com", "serial|COM3:9600", "COM|COM3:9600", "", "com|:115200", "com|COM3:0",
      "com|COM3:abc", "com|COM3:-5", "com|COM3:", "com|COM3:115200x", "com|COM3:+9600",
      "com|COM3: 9600", "com|COM3:2147483648", "tcp|h", "tcp|:35000", "tcp|h:", "tcp|h:0",
      "tcp|h:65536", "tcp|h:abc", "tcp|h:-1"};
  // clang-format on
  for (const char* bad : refused) {
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
