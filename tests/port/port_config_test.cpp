#include "port/port_config.h"

#include <gtest/gtest.h>

namespace zorbent {
namespace {

TEST(ParseConfigString, SerialAndTcp) {
  ParsedConfig p;
  ASSERT_TRUE(ParseConfigString("com|COM3:115200", p));
  EXPECT_EQ(p.kind, PortKind::kSerial);
  EXPECT_EQ(p.config.Get("mode"), "direct");
  EXPECT_EQ(p.config.Get("name"), "COM3");
  EXPECT_EQ(p.config.Get("baud"), "115200");
  EXPECT_EQ(p.config.Get("remote_ip"), "");  // missing keys read as empty
  ASSERT_TRUE(ParseConfigString("tcp|192.168.0.10:35000", p));
  EXPECT_EQ(p.kind, PortKind::kTcp);
  EXPECT_EQ(p.config.Get("mode"), "client");
  EXPECT_EQ(p.config.Get("remote_ip"), "192.168.0.10");
  EXPECT_EQ(p.config.Get("remote_port"), "35000");
  EXPECT_FALSE(p.config.Has("name"));
}

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
