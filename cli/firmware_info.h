#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zorbent::cli {

// What a firmware file holds, once it passed every check.
struct FirmwareFacts {
  int family = 0;  // 1 block mode, 2 line mode
  int model = -1;  // the adapter model it is for
  std::string modelName;
  std::string productId;
  std::string deviceName;
  std::string versionText;
  std::string version;  // as people read it ("2.2.31")
  std::int32_t versionNumber = 0;
  std::int32_t records = 0;
  std::int64_t size = 0;
  bool oddLines = false;  // line mode: the last line has no partner and is not sent
};

// Checks a firmware file before any adapter is touched: the engine's file rule (a regular
// file of a sensible size, readable), well formed, for a known model. False with the reason in
// why (naming the file and what to do). image, when given, gets the file's bytes.
bool CheckFirmwareFile(const std::string& path, FirmwareFacts& facts, std::string& why,
                       std::vector<std::uint8_t>* image = nullptr);

// What an odd line count means for the update, for inspect and update alike: "13 lines: the
// last line ...".
std::string OddLinesNote(const FirmwareFacts& facts);

// "Is this file right for my adapter?": loads and checks a firmware file and prints what it
// holds. No port is opened. 0 a valid file, 1 unreadable or malformed (with the reason).
int ShowFirmwareInfo(const std::string& path, std::FILE* out = stdout);

}  // namespace zorbent::cli
