#pragma once

#include <nlohmann/json.hpp>

namespace zorbent {

// The file at path under the update job's own rule and check, without a port: JSON with ok,
// text (the engine's lines for a refusal, a summary for a good file) and the file's facts
// (family, size, model, version, ...). Never suspends.
nlohmann::json CheckFileJson(const char* path);

}  // namespace zorbent
