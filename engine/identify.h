#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/device_table.h"
#include "engine/update_engine.h"

#include "engine/link.h"

namespace zorbent {

// Model codes: 0..4 line-mode models, 5 and 6 block-mode models, 255 none.
inline constexpr std::uint8_t kNoModel = 255;
// The result of a question that got no answer of its own (noted in the outcome's
// `unanswered`): never a pass, never a mismatch.
inline constexpr std::int32_t kUnanswered = -9;

// CheckElmVersion: ATI's answer holds no readable version after "ELM327 v".
inline constexpr std::int32_t kNoElmVersion = -6;

std::int32_t IdentifyAdapter(UpdateEngine& engine, Link& link, std::int32_t code);
std::int32_t CheckElmVersion(UpdateEngine& engine, Link& link);
std::int32_t CheckVersionGates(UpdateEngine& engine, Link& link, std::int32_t code,
                               std::int32_t fileVersion);
std::int32_t AdjustElmVersion(UpdateEngine& engine, Link& link, std::int32_t code);
std::int32_t ReportDeviceVersion(UpdateEngine& engine, Link& link, std::int32_t code);
std::int32_t ReportAdapterVersion(UpdateEngine& engine, Link& link, std::int32_t code);
std::int32_t ProbeBlockAdapter(UpdateEngine& engine, Link& link);

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
AdapterProbe ProbeAdapter(Link& link);

// Asks a question whose answer decides whether download commands may follow; names(reply)
// tells whether an answer names the adapter. One that does is taken at once (checked questions
// follow); one that does not is asked for again, since a late answer of an earlier command can
// stand in for it: the second is taken when it names the adapter, else the two must agree.
// The exchange's result; -4 when they disagree.
std::int32_t AskDeciding(Link& link, std::string_view query, std::span<char> reply,
                         bool (*names)(std::string_view answer));

// The adapter did not identify itself (outcome's banner: its ATI answer). Only on the user's
// word (`recover`) is it taken to be in download mode after an interrupted update of the file's
// model (1, with a warning); otherwise refused, reported (-1).
std::int32_t AcceptDownloadMode(UpdateEngine& engine);

// When the port went away (unplugged, the connection closed), says so once: true, reported.
bool ReportIfGone(UpdateEngine& engine, const Link& link);

// "**Failed** The adapter gave no answer of its own to QKI within 2 s." for the outcome's
// `unanswered`.
void ReportUnanswered(UpdateEngine& engine);

// "Please power on the device again!" when the first question got no answer of its own, and
// the line after it: answers out of turn (result -4), bytes that are not text (a wrong rate;
// reply holds what came) or silence.
void ReportNoAnswer(UpdateEngine& engine, std::int32_t result, std::span<const char> reply);

// Orders two version texts: negative, 0 or positive as a is older than, the same as or newer
// than b. A final "X" of a part stands for xDigit.
int CompareVersions(std::string_view a, std::string_view b, char xDigit);
// Compares the file's version with the adapter's running one (both in the outcome): newer goes;
// the same goes with a line saying so; older, or either version unknown (`versionUnknown`), is
// refused (-1, reported) unless `allowOlder` or the user's Yes to the question.
std::int32_t CheckNotOlder(UpdateEngine& engine);

// Fills the outcome's adapter model and name from the answers noted so far, and its running
// version from versionAnswer: for an update, the checked answer a gate holds.
void NoteAdapterIdentity(UpdateEngine& engine, std::int32_t code, std::string_view versionAnswer);
// One line after a model mismatch saying what answered: another of the models, an adapter
// whose product or firmware the file does not fit, or an adapter that is not one of ours.
std::string DescribeMismatch(const UpdateEngine& engine);
// Reports a model mismatch with that line, naming the adapter's model in the outcome when
// its answers name another one.
void FailModelMismatch(UpdateEngine& engine);

}  // namespace zorbent
