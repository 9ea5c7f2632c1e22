#pragma once

// The JSON forms of repository metadata: a strict reader for what comes from a repository and
// the canonical form its signatures are made over (keys sorted, no whitespace, only '"' and
// '\' escaped in strings, integers only).

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace zorbent::tuf {

// Objects and arrays nested deeper than this are refused: nothing in metadata needs more, and
// every reader of the value may then recurse safely.
inline constexpr int kMaxJsonDepth = 64;

// text as one JSON value; false with why for anything that is not JSON (its position), a key
// given twice in one object, or nesting deeper than kMaxJsonDepth. Never throws.
bool ReadJsonStrict(std::string_view text, nlohmann::json& value, std::string& why);

// The canonical form of value; false when it holds a number that is not an integer.
bool CanonicalJson(const nlohmann::json& value, std::string& out);

}  // namespace zorbent::tuf
