#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
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
// The same check on bytes already read from path.
bool CheckFirmwareImage(const std::string& path, std::span<const std::uint8_t> image,
                        FirmwareFacts& facts, std::string& why);

// A firmware file read once and checked. Every later step of a run (the repository
// look-up, the jobs, the history's hash) uses these bytes, never the file again: a file
// replaced meanwhile changes nothing.
struct CheckedFirmware {
  std::vector<std::uint8_t> image;
  FirmwareFacts facts;
  std::string why;  // why it is not usable; empty when it is
  bool usable = false;
};
std::shared_ptr<const CheckedFirmware> ReadFirmware(const std::string& path);
// Bytes already read and verified elsewhere (a download), checked as a file at path would be.
std::shared_ptr<const CheckedFirmware> CheckedBytes(const std::string& path,
                                                    std::vector<std::uint8_t> image);

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
