#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>

namespace zorbent::cli {

// --json: standard output carries only JSON Lines, one object per item (an adapter, a port, a
// detected device, a file, a history entry), and nothing else; human text goes to standard
// error or away, and exit statuses stay as they are. A command that lists things takes the
// choice and writes each item with WriteJsonLine.
enum class OutputFormat { kText, kJson };

// One object as one line, flushed at once so a reader sees each item as it comes.
void WriteJsonLine(const nlohmann::json& object, std::FILE* out = stdout);

}  // namespace zorbent::cli
