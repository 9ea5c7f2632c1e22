#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace zorbent {

// Ordered key/value settings of one connection; a missing key reads as empty text.
class PortConfig {
 public:
  const std::string& Get(const std::string& key) const;
  void Set(const std::string& key, std::string value) { values_[key] = std::move(value); }

 private:
  std::map<std::string, std::string> values_;
};

// Splits at every separator; empty pieces count ("a||b" gives three, "" gives one).
std::vector<std::string> SplitText(std::string_view text, char separator);

enum class PortKind { kSerial, kTcp };

struct ParsedConfig {
  PortKind kind;
  PortConfig config;
};

// Parses "com|NAME:BAUD" or "tcp|ADDRESS:PORT". False when the string breaks the grammar, the
// device or host is empty, the rate is not a whole number from 1 to INT_MAX written in digits
// alone, or the TCP port is not one from 1 to 65535 written so.
bool ParseConfigString(std::string_view text, ParsedConfig& out);

// The forms a connection string takes, for the line after a refused one.
inline constexpr std::string_view kConfigStringForms =
    "com|DEVICE:BAUD (a serial adapter, e.g. com|/dev/ttyUSB0:115200) or tcp|HOST:PORT (a WiFi "
    "adapter, e.g. tcp|192.168.0.10:35000)";

// Converts like atoi: leading blanks and sign, then digits; no number gives 0.
int AtoiLike(std::string_view text);

}  // namespace zorbent
