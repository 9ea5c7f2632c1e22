#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zorbent {

// Firmware families: how a file is laid out and how it is sent.
enum class Family : std::uint8_t { kNone = 0, kBlock = 1, kLine = 2 };

// Everything the program knows about one adapter model. Identification, the version gates,
// inspect, detect, the verdicts and the simulator read these rows; a model is a row.
struct DeviceModel {
  std::int32_t code;  // its index in the table
  std::string_view name;
  Family family;
  // Answers to "QKI" that name the model start with one of these (the longest match wins).
  std::array<std::string_view, 3> qkiNames;
  // An answer to "QKVERS" that starts so names it; empty: QKVERS does not tell.
  std::string_view qkversName;
  // Files: a line-mode file names the model exactly so; a block-mode file's device name
  // starts with the first fileNameMatch characters of this ("zOrbent FS v", "zOrbent FS BT"),
  // its version following.
  std::string_view fileDeviceName;
  std::size_t fileNameMatch;
  // Where the running firmware's version is: QKI's answer, else QKVERS's.
  bool versionInQki;
  char xDigit;  // what a final "X" of a version part stands for
  // Line-mode gates: the question, the answers it accepts, where the version starts in them
  // (empty: after the accepted start and " v"), and the gate value below which the adapter
  // needs an intermediate firmware.
  std::string_view gateQuery;
  std::array<std::string_view, 3> gateAccepts;
  std::string_view gateVersionPrefix;
  std::string_view tooOldAnswer;  // an answer that means the adapter is beyond help here
  std::int32_t gateThreshold;
  std::string_view gateRejectText;  // the answer is none of the accepted ones
  std::string_view belowGateText;   // the adapter is below the gate
  bool belowGateFinal;              // ... and no file can help ("no upgrade function")
  std::int32_t elmLimit;            // ATI's ELM327 version above this: the program is too old
  // Line mode, after the download: the question the ELM327 version is adjusted from, the
  // letter its version follows, the command, the answer that acknowledges it and the lowest
  // version it may be set to.
  std::string_view adjustQuery;
  char adjustLetter;
  std::string_view adjustCommand;
  std::string_view adjustAck;
  std::string_view elmFloor;
  // Block mode: the command that opens the download.
  std::string_view downloadCommand;
};

inline constexpr std::int32_t kModelCount = 7;

std::span<const DeviceModel> DeviceModels();
// The row of a model code, or null.
const DeviceModel* ModelByCode(std::int32_t code);
// The row whose name is name, or null.
const DeviceModel* ModelByName(std::string_view name);
// The model name of a code; empty for none.
std::string_view ModelName(std::int32_t code);

// The model a "QKI" or "QKVERS" answer names, or -1.
std::int32_t ModelOfQki(std::string_view answer);
std::int32_t ModelOfQkvers(std::string_view answer);
// QKI first, then QKVERS; -1 for none of ours.
std::int32_t ModelOfAnswers(std::string_view qkiAnswer, std::string_view qkversAnswer);
// The model a file's device name is for, in its family; -1 for none.
std::int32_t ModelOfFile(Family family, std::string_view deviceName);
// The device names files of a family may carry, for a refusal ("Ruvo03, KTR5575, ...").
std::string FileDeviceNames(Family family);
// The models of a family, for advice that holds for each ("KTR558, KTR5688").
std::string ModelNames(Family family);
// How a user recognises the model: what it answers ("answers \"zOrbent BM v...\" to QKI").
std::string IdentifyingAnswer(const DeviceModel& model);

// Items joined with ", ".
std::string JoinWithCommas(std::span<const std::string> items);

}  // namespace zorbent
