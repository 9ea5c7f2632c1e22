#include "port/port_config.h"

#include <charconv>
#include <climits>
#include <cstdint>

namespace zorbent {

const std::string& PortConfig::Get(const std::string& key) const {
  static const std::string empty;
  const auto it = values_.find(key);
  return it == values_.end() ? empty : it->second;
}

std::vector<std::string> SplitText(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      pieces.emplace_back(text.substr(start));
      return pieces;
    }
    pieces.emplace_back(text.substr(start, at - start));
    start = at + 1;
  }
}

namespace {

constexpr long long kTcpPortMax = 65535;

// Digits alone, from 1 to most: a sign, blanks or trailing letters would be read as another
// number (or as 0, which hangs up a serial line).
bool IsCount(std::string_view text, long long most) {
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value >= 1 && value <= most;
}

}  // namespace

bool ParseConfigString(std::string_view text, ParsedConfig& out) {
  const auto fields = SplitText(text, '|');
  if (fields.size() < 2) return false;
  if (fields[0] == "com") {
    out.kind = PortKind::kSerial;
  } else if (fields[0] == "tcp") {
    out.kind = PortKind::kTcp;
  } else {
    return false;
  }
  const auto address = SplitText(fields[1], ':');
  if (address.size() < 2 || address[0].empty()) return false;
  if (!IsCount(address[1], out.kind == PortKind::kSerial ? INT_MAX : kTcpPortMax)) return false;
  out.config = PortConfig{};
  if (out.kind == PortKind::kSerial) {
    out.config.Set("mode", "direct");
    out.config.Set("name", address[0]);
    out.config.Set("baud", address[1]);
  } else {
    out.config.Set("mode", "client");
    out.config.Set("remote_ip", address[0]);
    out.config.Set("remote_port", address[1]);
  }
  return true;
}

int AtoiLike(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT_MAX) value = INT_MAX;  // saturate instead of overflowing
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace zorbent
