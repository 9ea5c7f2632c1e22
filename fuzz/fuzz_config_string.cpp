// Any connection string: parsed, split, serial ones opened on a path that cannot exist.

#include <algorithm>

#include "fuzz/fuzz_check.h"
#include "port/port_config.h"
#include "port/port_factory.h"

namespace {

using zorbent::fuzz::Require;

void CheckSplit(std::string_view text, char separator) {
  const auto pieces = zorbent::SplitText(text, separator);
  std::size_t separators = 0;
  for (const char c : text) separators += c == separator;
  Require(pieces.size() == separators + 1, "one piece more than separators");
  std::string joined;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) joined.push_back(separator);
    joined += pieces[i];
  }
  Require(joined == text, "pieces put together give the text back");
}

// A device path under a directory that does not exist: '/' cannot climb out of it.
std::string Harmless(std::string_view name) {
  std::string path = "/nonexistent-zorbent-fuzz/";
  for (const char c : name) path.push_back(c == '/' || c == '\0' ? '_' : c);
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view whole(reinterpret_cast<const char*>(data), size);
  // The first line is the connection string, the rest the firmware path.
  const std::size_t newline = whole.find('\n');
  const std::string_view text = whole.substr(0, newline);
  const std::string_view path =
      newline == std::string_view::npos ? std::string_view("fw.txt") : whole.substr(newline + 1);
  CheckSplit(text, '|');
  CheckSplit(text, ':');
  (void)zorbent::AtoiLike(text);
  zorbent::ParsedConfig parsed;
  const bool ok = zorbent::ParseConfigString(text, parsed);
  const auto fields = zorbent::SplitText(text, '|');
  const bool grammar = fields.size() >= 2 && (fields[0] == "com" || fields[0] == "tcp") &&
                       zorbent::SplitText(fields[1], ':').size() >= 2;
  if (grammar) {
    const auto pieces = zorbent::SplitText(fields[1], ':');
    const std::string& number = pieces[1];
    const long long most = fields[0] == "com" ? 2147483647LL : 65535LL;
    bool digits = !number.empty();
    long long value = 0;  // saturates just above the limit
    for (const char c : number) {
      digits = digits && c >= '0' && c <= '9';
      if (digits) value = std::min(value * 10 + (c - '0'), most + 1);
    }
    const bool count = digits && value >= 1 && value <= most;
    Require(ok == (!pieces[0].empty() && count), "parser agrees with the grammar");
  } else {
    Require(!ok, "parser agrees with the grammar");
  }
  zorbent::fuzz::Reports report;
  zorbent::UpdateEngine engine;
  engine.Init(&report, &zorbent::fuzz::Reports::Callback);
  if (!ok) {
    // Refused before any port is built, so the raw text is safe to hand over.
    Require(engine.OpenPort(text, path) == -1, "bad string refused");
    Require(report.texts == 2 && report.first == "**Failed** Port parameter error!\r\n" &&
                report.last == "Expected " + std::string(zorbent::kConfigStringForms) + ".\r\n",
            "parameter error reported with the forms");
    return 0;
  }
  const auto address = zorbent::SplitText(fields[1], ':');
  if (parsed.kind == zorbent::PortKind::kSerial) {
    Require(parsed.config.Get("mode") == "direct", "serial mode");
    Require(parsed.config.Get("name") == address[0] && parsed.config.Get("baud") == address[1],
            "serial name and rate");
    (void)zorbent::AtoiLike(parsed.config.Get("baud"));
    zorbent::PortConfig safe = parsed.config;
    safe.Set("name", Harmless(address[0]));
    bool opened = true;
    const auto port = zorbent::CreatePort(parsed.kind, safe, opened);
    Require(!opened, "a missing device does not open");
    const std::string safeText = "com|" + Harmless(address[0]) + ":" + address[1];
    const std::int32_t channel = engine.OpenPort(safeText, path);
    Require(channel == -1, "a missing device gives no channel");
    // The failure line, and at most one line after it saying why.
    Require(report.texts == 1 || report.texts == 2, "one report and its reason");
    Require(report.first == "**Failed** Port connection error!\r\n" ||
                report.first == "**Failed** Firmware path is too long!\r\n",
            "connection error or path error reported");
    Require(report.last.ends_with("\r\n"), "the reason is a whole line");
  } else {
    Require(parsed.config.Get("mode") == "client", "tcp mode");
    Require(parsed.config.Get("remote_ip") == address[0] &&
                parsed.config.Get("remote_port") == address[1],
            "tcp address and port");
    (void)zorbent::AtoiLike(parsed.config.Get("remote_port"));
  }
  return 0;
}
