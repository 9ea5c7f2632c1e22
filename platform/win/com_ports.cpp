#include "platform/win/com_ports.h"

#include <windows.h>

#include <algorithm>
#include <array>

namespace zorbent {

std::string ComDevicePath(const std::string& name) {
  for (int n = 1; n <= kMaxComPort; ++n) {
    if (name == "COM" + std::to_string(n)) return "\\\\.\\" + name;
  }
  return name;
}

std::optional<std::string> ComPortFromRegistryData(std::string_view data) {
  if (!data.starts_with("COM")) return std::nullopt;
  data.remove_prefix(3);
  // Leading white space and a sign are what the number conversion of the port lists accepts.
  while (!data.empty() &&
         std::string_view(" \t\n\v\f\r").find(data.front()) != std::string_view::npos)
    data.remove_prefix(1);
  bool negative = false;
  if (!data.empty() && (data.front() == '+' || data.front() == '-')) {
    negative = data.front() == '-';
    data.remove_prefix(1);
  }
  if (data.empty() || data.front() < '0' || data.front() > '9') return std::nullopt;
  long number = 0;
  while (!data.empty() && data.front() >= '0' && data.front() <= '9') {
    number = number * 10 + (data.front() - '0');
    if (number > kMaxComPort) return std::nullopt;  // also keeps long digit runs bounded
    data.remove_prefix(1);
  }
  if (negative || number < 1) return std::nullopt;
  return "COM" + std::to_string(number);
}

std::vector<std::string> ListComPorts() {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM\\", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return names;
  for (DWORD index = 0;; ++index) {
    std::array<char, 256> valueName{};
    std::array<BYTE, 256> data{};
    DWORD nameSize = static_cast<DWORD>(valueName.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = 0;
    if (::RegEnumValueA(key, index, valueName.data(), &nameSize, nullptr, &type, data.data(),
                        &dataSize) != ERROR_SUCCESS)
      break;
    // The data need not end in a terminator: only the bytes the registry gave count.
    std::string_view text(reinterpret_cast<const char*>(data.data()),
                          std::min<std::size_t>(dataSize, data.size()));
    if (const auto end = text.find('\0'); end != std::string_view::npos) text = text.substr(0, end);
    if (auto port = ComPortFromRegistryData(text)) names.push_back(std::move(*port));
  }
  ::RegCloseKey(key);
  return names;
}

}  // namespace zorbent
