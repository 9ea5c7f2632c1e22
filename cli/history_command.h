#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/json_output.h"

namespace zorbent::cli {

// One history entry as a line for a person: time, command, connection, model, "v2.2 → v2.3" or
// the failure's cause, duration. Fields an entry lacks show as "?".
std::string HistoryLine(const nlohmann::json& entry);

// `zorbent-fw history [--limit N]`: the last limit entries (all when 0), oldest first, one line
// each or one JSON object each; a damaged line is skipped with a warning on stderr. 0 when
// the history could be read (also when empty), 1 when not.
int ShowHistory(std::size_t limit, OutputFormat format);

}  // namespace zorbent::cli
