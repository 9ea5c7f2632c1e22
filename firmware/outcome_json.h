#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "engine/outcome.h"

namespace zorbent {

// Stable snake_case names of an outcome's parts, for scripts and the history: they never
// change once written ("download_started", "model_mismatch", "in_download_mode", "run_again").
std::string_view StageName(Stage stage);
std::string_view KindName(FailureKind kind);
std::string_view StateName(AdapterState state);
std::string_view RecoveryName(Recovery recovery);

// {"succeeded", "stage", "kind", "state", "recovery"}: how a job ended, the same object in the
// history and in --json output.
nlohmann::json OutcomeJson(const JobOutcome& outcome);

// An empty string as null, so a fact not known reads the same in every object.
nlohmann::json TextOrNull(const std::string& text);

// One line of JSON Lines, with its '\n': text that is not UTF-8 (an adapter's stray bytes)
// shows as U+FFFD instead of failing.
std::string JsonLine(const nlohmann::json& object);

}  // namespace zorbent
