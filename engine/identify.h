#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/update_engine.h"

namespace zorbent {

// Model codes: 0..4 line-mode models, 5 and 6 block-mode models, 255 none.
inline constexpr std::uint8_t kNoModel = 255;

std::int32_t IdentifyAdapter(UpdateEngine& engine, Port& port, std::int32_t code);
std::int32_t CheckElmVersion(UpdateEngine& engine, Port& port);
std::int32_t CheckVersionGates(UpdateEngine& engine, Port& port, std::int32_t code,
                               std::int32_t fileVersion);
std::int32_t AdjustElmVersion(UpdateEngine& engine, Port& port, std::int32_t code);
std::int32_t ReportDeviceVersion(UpdateEngine& engine, Port& port, std::int32_t code);
std::int32_t ReportAdapterVersion(UpdateEngine& engine, Port& port, std::int32_t code);
std::uint8_t ClassifyBlockAdapter(std::string_view answer);
std::uint8_t ClassifyBlockFile(const UpdateEngine& engine);
std::int32_t ProbeBlockAdapter(UpdateEngine& engine, Port& port);

// What read-only questions (QKVERS, QKI, ATI: never a download command, never a reset) tell
// about the adapter on a port.
struct AdapterProbe {
  enum class State { kOurs, kDownloadMode, kOther, kSilent };
  State state = State::kSilent;
  std::int32_t model = -1;  // for kOurs
  std::string qki;          // the answers, as printable lines
  std::string qkvers;
  std::string banner;
};
AdapterProbe ProbeAdapter(Port& port);

// The adapter was found in download mode, so its model and version cannot be read: warns that
// the file must be the right one (1), or, for a check, says it cannot be made (-1).
std::int32_t AcceptDownloadMode(UpdateEngine& engine);

// After "Please power on the device again!" when the first question got no answer of its
// own: says whether the adapter was silent or answered out of turn (result -4).
void ReportNoAnswer(UpdateEngine& engine, std::int32_t result);

// The model that an adapter's "QKI" or "QKVERS" answer names, or -1 for none of ours.
std::int32_t ModelOfAnswers(std::string_view qkiAnswer, std::string_view qkversAnswer);
// Fills the outcome's adapter model, name and version from the answers noted so far.
void NoteAdapterIdentity(UpdateEngine& engine, std::int32_t code);
// One line after a model mismatch saying what answered: another of the models, an adapter
// whose product or firmware the file does not fit, or an adapter that is not one of ours.
std::string DescribeMismatch(const UpdateEngine& engine);

}  // namespace zorbent
