#include "ui/serial_ports.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>
#include <tuple>

namespace zorbent::ui {
namespace {

namespace fs = std::filesystem;

// Kinds in the order the list shows them.
constexpr std::array<std::string_view, 4> kPrefixes = {"ttyUSB", "ttyACM", "rfcomm", "ttyS"};
constexpr std::size_t kUartKind = 3;
constexpr std::size_t kRfcommKind = 2;

struct Entry {
  std::size_t kind;
  std::uint32_t number;
  std::string name;
};

// Kind and number of a name like "ttyUSB12"; false for any other name.
bool ParseName(std::string_view name, std::size_t& kind, std::uint32_t& number) {
  for (std::size_t k = 0; k < kPrefixes.size(); ++k) {
    if (!name.starts_with(kPrefixes[k])) continue;
    const std::string_view digits = name.substr(kPrefixes[k].size());
    if (digits.empty() || digits.size() > 6) return false;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (ec != std::errc() || end != digits.data() + digits.size()) return false;
    kind = k;
    return true;
  }
  return false;
}

std::string LinkTargetName(const fs::path& link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  if (ec) return {};
  return target.filename().string();
}

// The "type" attribute of a UART; 0 (unknown) for a slot with no chip behind it.
int UartType(const fs::path& entry) {
  std::ifstream in(entry / "type");
  int type = 0;
  if (!(in >> type)) return 0;
  return type;
}

bool IsUsable(const fs::path& entry, std::size_t kind) {
  std::error_code ec;
  // A Bluetooth link exists only while it is bound; it has no device of its own.
  if (kind == kRfcommKind) return true;
  if (!fs::exists(entry / "device", ec)) return false;
  if (kind != kUartKind) return true;
  // The 8250 driver registers placeholder ports whether or not a UART is fitted.
  const bool placeholderDriver = LinkTargetName(entry / "device" / "driver") == "serial8250" ||
                                 LinkTargetName(entry / "device") == "serial8250";
  return !placeholderDriver || UartType(entry) != 0;
}

}  // namespace

std::vector<std::string> ListSerialPorts(const std::string& ttyClassDir) {
  std::vector<Entry> entries;
  std::error_code ec;
  fs::directory_iterator it(ttyClassDir, ec);
  if (ec) return {};
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    std::size_t kind = 0;
    std::uint32_t number = 0;
    if (!ParseName(name, kind, number)) continue;
    if (!IsUsable(it->path(), kind)) continue;
    entries.push_back({kind, number, name});
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return std::tie(a.kind, a.number, a.name) < std::tie(b.kind, b.number, b.name);
  });
  std::vector<std::string> names;
  names.reserve(entries.size());
  for (auto& e : entries) names.push_back(std::move(e.name));
  return names;
}

int RefreshSelection(int notedIndex, int newCount) {
  if (newCount <= 0) return -1;
  if (notedIndex >= 0 && notedIndex < newCount) return notedIndex;
  return 0;
}

}  // namespace zorbent::ui
