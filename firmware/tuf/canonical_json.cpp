#include "firmware/tuf/canonical_json.h"

#include <set>
#include <vector>

namespace zorbent::tuf {

namespace {

using Json = nlohmann::json;

bool Append(const Json& value, std::string& out, int depth) {
  if (depth > kMaxJsonDepth) return false;
  switch (value.type()) {
    case Json::value_t::null:
      out += "null";
      return true;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return true;
    case Json::value_t::number_integer:
      out += std::to_string(value.get<std::int64_t>());
      return true;
    case Json::value_t::number_unsigned:
      out += std::to_string(value.get<std::uint64_t>());
      return true;
    case Json::value_t::string:
      out += '"';
      for (const char c : value.get_ref<const std::string&>()) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
      }
      out += '"';
      return true;
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& item : value) {
        if (!first) out += ',';
        first = false;
        if (!Append(item, out, depth + 1)) return false;
      }
      out += ']';
      return true;
    }
    case Json::value_t::object: {
      // nlohmann keeps an object's keys in std::map order: by their bytes, as required.
      out += '{';
      bool first = true;
      for (const auto& [key, item] : value.items()) {
        if (!first) out += ',';
        first = false;
        if (!Append(Json(key), out, depth + 1)) return false;
        out += ':';
        if (!Append(item, out, depth + 1)) return false;
      }
      out += '}';
      return true;
    }
    default:
      return false;  // floats, binary, discarded
  }
}

}  // namespace

bool ReadJsonStrict(std::string_view text, nlohmann::json& value, std::string& why) {
  std::vector<std::set<std::string>> keys;
  std::string repeated;
  bool tooDeep = false;
  const Json::parser_callback_t noteKeys = [&](int depth, Json::parse_event_t event, Json& parsed) {
    if (depth > kMaxJsonDepth) tooDeep = true;
    if (event == Json::parse_event_t::object_start) keys.emplace_back();
    if (event == Json::parse_event_t::object_end && !keys.empty()) keys.pop_back();
    if (event == Json::parse_event_t::key && !keys.empty() &&
        !keys.back().insert(parsed.get<std::string>()).second && repeated.empty())
      repeated = parsed.get<std::string>();
    return !tooDeep;
  };
  value = Json();
  try {
    value = Json::parse(text.begin(), text.end(), noteKeys);
  } catch (const Json::exception& e) {
    // "[json.exception.parse_error.101] parse error at line 3, column 5: ..."
    const std::string what = e.what();
    const std::size_t bracket = what.find("] ");
    why = "not JSON: " + (bracket == std::string::npos ? what : what.substr(bracket + 2));
    value = Json();
    return false;
  }
  if (tooDeep) why = "nested more than " + std::to_string(kMaxJsonDepth) + " levels deep";
  if (!repeated.empty()) why = "\"" + repeated + "\" is given twice in one object";
  if (tooDeep || !repeated.empty()) {
    value = Json();
    return false;
  }
  return true;
}

bool CanonicalJson(const nlohmann::json& value, std::string& out) {
  out.clear();
  if (Append(value, out, 0)) return true;
  out.clear();
  return false;
}

}  // namespace zorbent::tuf
