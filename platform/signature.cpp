#include "platform/signature.h"

#include <algorithm>

namespace zorbent::signature_detail {

namespace {

constexpr std::uint8_t kDerSequence = 0x30;
constexpr std::uint8_t kDerInteger = 0x02;

bool HasBlock(std::string_view pem, std::string_view label) {
  std::string ignored;
  return PemBody(pem, label, ignored);
}

// One INTEGER at position of der, as a 32-byte unsigned big-endian number; advances position.
bool ReadScalar(std::span<const std::uint8_t> der, std::size_t& position,
                std::span<std::uint8_t> out) {
  if (position + 2 > der.size() || der[position] != kDerInteger) return false;
  const std::size_t length = der[position + 1];
  position += 2;
  if (length == 0 || length > kP256ScalarBytes + 1 || position + length > der.size()) return false;
  std::span<const std::uint8_t> value = der.subspan(position, length);
  position += length;
  if ((value[0] & 0x80) != 0) return false;  // negative
  if (value.size() > 1 && value[0] == 0) {
    if ((value[1] & 0x80) == 0) return false;  // a zero that was not needed
    value = value.subspan(1);
  }
  if (value.size() > kP256ScalarBytes) return false;
  std::fill(out.begin(), out.end(), 0);
  std::copy(value.begin(), value.end(), out.end() - static_cast<std::ptrdiff_t>(value.size()));
  return true;
}

void AppendScalar(std::span<const std::uint8_t> scalar, std::vector<std::uint8_t>& der) {
  std::size_t first = 0;
  while (first + 1 < scalar.size() && scalar[first] == 0) ++first;
  const bool pad = (scalar[first] & 0x80) != 0;
  der.push_back(kDerInteger);
  der.push_back(static_cast<std::uint8_t>(scalar.size() - first + (pad ? 1 : 0)));
  if (pad) der.push_back(0);
  for (std::size_t i = first; i < scalar.size(); ++i) der.push_back(scalar[i]);
}

}  // namespace

bool PemBody(std::string_view pem, std::string_view label, std::string& base64) {
  const std::string begin = "-----BEGIN " + std::string(label) + "-----";
  const std::string end = "-----END " + std::string(label) + "-----";
  const std::size_t start = pem.find(begin);
  if (start == std::string_view::npos) return false;
  const std::size_t stop = pem.find(end, start + begin.size());
  if (stop == std::string_view::npos) return false;
  base64.clear();
  for (const char c : pem.substr(start + begin.size(), stop - start - begin.size()))
    if (c != '\r' && c != '\n' && c != ' ' && c != '\t') base64.push_back(c);
  return !base64.empty();
}

std::string PublicPemProblem(std::string_view pem) {
  if (HasBlock(pem, "PUBLIC KEY")) return {};
  if (pem.find("PRIVATE KEY-----") != std::string_view::npos)
    return "a private key, not a public key";
  return "not a PEM public key";
}

std::string PrivatePemProblem(std::string_view pem) {
  // Encrypted keys would need a password asked for; makers sign unattended.
  if (HasBlock(pem, "ENCRYPTED PRIVATE KEY") || pem.find("ENCRYPTED\n") != std::string_view::npos ||
      pem.find("ENCRYPTED\r\n") != std::string_view::npos)
    return "an encrypted private key: give one without a password";
  if (HasBlock(pem, "EC PRIVATE KEY") || HasBlock(pem, "PRIVATE KEY")) return {};
  if (HasBlock(pem, "PUBLIC KEY")) return "a public key, not a private key";
  return "not a PEM private key";
}

bool SignatureDerToRaw(std::span<const std::uint8_t> der, std::span<std::uint8_t, 64> raw) {
  // Short-form lengths only: the longest signature's content is 70 bytes.
  if (der.size() < 2 || der.size() > kMaxSignatureDerBytes || der[0] != kDerSequence ||
      der[1] != der.size() - 2)
    return false;
  std::size_t position = 2;
  return ReadScalar(der, position, raw.first(kP256ScalarBytes)) &&
         ReadScalar(der, position, raw.last(kP256ScalarBytes)) && position == der.size();
}

std::vector<std::uint8_t> SignatureRawToDer(std::span<const std::uint8_t, 64> raw) {
  std::vector<std::uint8_t> der;
  der.reserve(kMaxSignatureDerBytes);
  der.push_back(kDerSequence);
  der.push_back(0);  // the length, known at the end
  AppendScalar(raw.first(kP256ScalarBytes), der);
  AppendScalar(raw.last(kP256ScalarBytes), der);
  der[1] = static_cast<std::uint8_t>(der.size() - 2);
  return der;
}

}  // namespace zorbent::signature_detail
