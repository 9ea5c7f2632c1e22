#pragma once

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/json_output.h"

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
  bool loaded = false;    // the file rule passed: its bytes were read (else the check failed)
  std::string sha256;     // of its bytes, in hex, once loaded
};

// Checks a firmware file before any adapter is touched: the engine's file rule (a regular
// file of a sensible size, readable), well formed, for a known model. False with the reason in
// why (naming the file and what to do). image, when given, gets the file's bytes.
bool CheckFirmwareFile(const std::string& path, FirmwareFacts& facts, std::string& why,
                       std::vector<std::uint8_t>* image = nullptr);

// What an odd line count means for the update, for inspect and update alike: "13 lines: the
// last line ...".
std::string OddLinesNote(const FirmwareFacts& facts);

// What inspect --json shows of a file: file, valid, error (why not), file_sha256, family,
// product_id, device_name, file_version, version_text, version_number, records, size, file_model
// and odd_lines; facts not known are null.
nlohmann::json FirmwareJson(const std::string& path, const FirmwareFacts& facts, bool valid,
                            const std::string& why);

// "Is this file right for my adapter?": loads and checks a firmware file and prints what it
// holds (as one JSON object with kJson, the reason for a refusal also on stderr). No port is
// opened. 0 a valid file, 1 unreadable or malformed (with the reason).
int ShowFirmwareInfo(const std::string& path, std::FILE* out = stdout,
                     OutputFormat format = OutputFormat::kText);

}  // namespace zorbent::cli
