#include "engine/text.h"

#include <algorithm>
#include <limits>

#include "engine/device_table.h"

namespace zorbent {
namespace {

bool IsText(char c) {
  return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F;
}

}  // namespace

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string_view BufferText(std::span<const char> buffer) {
  const auto end = std::find(buffer.begin(), buffer.end(), '\0');
  return {buffer.data(), static_cast<std::size_t>(end - buffer.begin())};
}

void AppendEscaped(std::string& out, char c) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  if (IsText(c)) {
    out.push_back(c);
    return;
  }
  const auto b = static_cast<unsigned char>(c);
  out += "\\x";
  out.push_back(kDigits[b >> 4]);
  out.push_back(kDigits[b & 0x0F]);
}

std::string VisibleText(std::string_view answer) {
  std::string out;
  for (const char c : answer) {
    if (c == '\r' || c == '\n') {
      if (!out.empty() && out.back() != ' ') out.push_back(' ');
    } else if (c != '>') {
      AppendEscaped(out, c);
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

bool MostlyNotText(std::string_view bytes) {
  const auto text = std::count_if(bytes.begin(), bytes.end(),
                                  [](char c) { return IsText(c) || c == '\r' || c == '\n'; });
  return static_cast<std::size_t>(text) * 2 < bytes.size();
}

std::size_t FindVersionLetter(std::string_view answer, std::string_view letters) {
  for (std::size_t i = 0; i + 1 < answer.size(); ++i) {
    if (letters.find(answer[i]) != std::string_view::npos && answer[i + 1] >= '0' &&
        answer[i + 1] <= '9')
      return i;
  }
  return std::string_view::npos;
}

std::string VersionInAnswer(std::string_view answer) {
  const std::size_t at = FindVersionLetter(answer, "vV");
  std::string version;
  if (at == std::string_view::npos) return version;
  for (const char c : answer.substr(at + 1))
    if (c != '>' && c != '\r' && c != '\n') AppendEscaped(version, c);
  return version;
}

char XDigitOf(std::int32_t code) {
  const DeviceModel* model = ModelByCode(code);
  return model == nullptr ? '9' : model->xDigit;
}

std::int32_t VersionNumber(std::string_view text, char xDigit) {
  std::string digits;
  digits.reserve(std::min<std::size_t>(text.size(), 256));
  for (const char c : text.substr(0, 256)) {
    if (c != '.' && c != '>') digits.push_back(c);
  }
  if (!digits.empty() && digits.back() == 'X') digits.back() = xDigit;
  std::int64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') break;
    value =
        std::min<std::int64_t>(value * 10 + (c - '0'), std::numeric_limits<std::int32_t>::max());
  }
  return static_cast<std::int32_t>(value);
}

std::string Version(const std::string& version) {
  return version.empty() ? std::string("an unknown version") : "v" + version;
}

}  // namespace zorbent
