#include "platform/signature.h"

#include <algorithm>

namespace zorbent::signature_detail {

namespace {

constexpr std::uint8_t kDerSequence = 0x30;
constexpr std::uint8_t kDerInteger = 0x02;
constexpr std::uint8_t kDerBitString = 0x03;
constexpr std::uint8_t kDerOctetString = 0x04;
constexpr std::uint8_t kDerObjectId = 0x06;
constexpr std::uint8_t kDerContext0 = 0xA0;
constexpr std::uint8_t kDerContext1 = 0xA1;
constexpr std::uint8_t kUncompressedPoint = 0x04;
constexpr std::size_t kPointBytes = 1 + 2 * kP256ScalarBytes;
// The OBJECT IDENTIFIERs of an EC public key and of the curve P-256, whole DER elements.
constexpr std::uint8_t kEcKeyOid[] = {0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
constexpr std::uint8_t kP256Oid[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

// One DER element: its tag, its whole encoding and its content.
struct Element {
  std::uint8_t tag = 0;
  std::span<const std::uint8_t> whole, content;
};

// Takes the next element off the front of rest; definite lengths of up to two bytes.
bool NextElement(std::span<const std::uint8_t>& rest, Element& element) {
  if (rest.size() < 2) return false;
  std::size_t header = 2;
  std::size_t length = rest[1];
  if (length == 0x81 || length == 0x82) {
    const std::size_t bytes = length - 0x80;
    if (rest.size() < 2 + bytes) return false;
    length = bytes == 1 ? rest[2] : (std::size_t{rest[2]} << 8) | rest[3];
    header += bytes;
  } else if (length > 0x7F) {
    return false;
  }
  if (rest.size() - header < length) return false;
  element.tag = rest[0];
  element.whole = rest.first(header + length);
  element.content = rest.subspan(header, length);
  rest = rest.subspan(header + length);
  return true;
}

bool Same(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

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

// SEC1 ECPrivateKey: version 1, the secret, [0] the curve, [1] the public point. curveKnown:
// the curve was P-256 in a wrapper around it.
std::string ReadSec1(std::span<const std::uint8_t> der, bool curveKnown, P256PrivateKey& key) {
  constexpr std::string_view kNotKey = "not a PEM private key";
  Element sequence, version, secret, part;
  if (!NextElement(der, sequence) || sequence.tag != kDerSequence || !der.empty())
    return std::string(kNotKey);
  std::span<const std::uint8_t> rest = sequence.content;
  if (!NextElement(rest, version) || version.tag != kDerInteger || !NextElement(rest, secret) ||
      secret.tag != kDerOctetString || secret.content.empty())
    return std::string(kNotKey);
  bool p256 = curveKnown;
  key.point.clear();
  while (!rest.empty()) {
    if (!NextElement(rest, part)) return std::string(kNotKey);
    if (part.tag == kDerContext0) p256 = Same(part.content, kP256Oid);
    Element bits;
    std::span<const std::uint8_t> inner = part.content;
    if (part.tag == kDerContext1 && NextElement(inner, bits) && bits.tag == kDerBitString &&
        bits.content.size() == 1 + kPointBytes && bits.content[0] == 0 &&
        bits.content[1] == kUncompressedPoint)
      key.point.assign(bits.content.begin() + 1, bits.content.end());
  }
  if (!p256 || secret.content.size() > kP256ScalarBytes) return "not a P-256 key";
  if (key.point.empty()) return "a private key without its public key";
  key.secret.assign(kP256ScalarBytes - secret.content.size(), 0);
  key.secret.insert(key.secret.end(), secret.content.begin(), secret.content.end());
  return {};
}

}  // namespace

std::string ReadP256PrivateKeyDer(std::span<const std::uint8_t> der, bool pkcs8,
                                  P256PrivateKey& key) {
  if (!pkcs8) return ReadSec1(der, false, key);
  // PKCS#8: version 0, the algorithm (EC key, curve), the SEC1 key inside an OCTET STRING.
  Element sequence, version, algorithm, wrapped, oid;
  if (!NextElement(der, sequence) || sequence.tag != kDerSequence || !der.empty())
    return "not a PEM private key";
  std::span<const std::uint8_t> rest = sequence.content;
  if (!NextElement(rest, version) || version.tag != kDerInteger || !NextElement(rest, algorithm) ||
      algorithm.tag != kDerSequence || !NextElement(rest, wrapped) ||
      wrapped.tag != kDerOctetString)
    return "not a PEM private key";
  std::span<const std::uint8_t> names = algorithm.content;
  if (!NextElement(names, oid) || oid.tag != kDerObjectId || !Same(oid.whole, kEcKeyOid) ||
      !Same(names, kP256Oid))
    return "not a P-256 key";
  return ReadSec1(wrapped.content, true, key);
}

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
