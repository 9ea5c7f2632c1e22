#include <emscripten/em_js.h>
#include <emscripten/emscripten.h>

#include <array>

#include "platform/signature.h"

// The browser's WebCrypto checks the signatures (Node's too, for the same module under Node).
// Its calls are promises: the caller's wasm is suspended (Asyncify) until the answer. The
// inputs are copied out of the heap before the first await. Answers: 1 good, 0 no match,
// -1 the key was refused, -2 this browser lacks the algorithm.
// clang-format off
EM_ASYNC_JS(int, web_verify_signature,
            (int scheme, const std::uint8_t* key, int keySize, const std::uint8_t* signature,
             int signatureSize, const std::uint8_t* message, int messageSize),
            {
              const copy = (at, size) => HEAPU8.slice(at, at + size);
              const keyBytes = copy(key, keySize);
              const signed = copy(signature, signatureSize);
              const data = copy(message, messageSize);
              const kinds = [
                [ "raw", {name : "Ed25519"}, {name : "Ed25519"} ],
                [ "spki", {name : "ECDSA", namedCurve : "P-256"}, {name : "ECDSA", hash : "SHA-256"} ],
                [ "spki", {name : "RSA-PSS", hash : "SHA-256"}, {name : "RSA-PSS", saltLength : 32} ],
              ];
              const [ format, algorithm, use ] = kinds[scheme];
              const subtle = globalThis.crypto && globalThis.crypto.subtle;
              if (!subtle) return -2;
              let imported;
              try {
                imported = await subtle.importKey(format, keyBytes, algorithm, false, ["verify"]);
              } catch (error) {
                return error && error.name === "NotSupportedError" ? -2 : -1;
              }
              try {
                return (await subtle.verify(use, imported, signed, data)) ? 1 : 0;
              } catch (error) {
                return 0;
              }
            });
// clang-format on

namespace zorbent {

namespace {

using namespace signature_detail;

constexpr std::size_t kEd25519KeyBytes = 32;
constexpr std::size_t kEd25519SignatureBytes = 64;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool DecodeHex(std::string_view hex, std::vector<std::uint8_t>& bytes) {
  if (hex.size() % 2 != 0) return false;
  bytes.clear();
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return true;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict base64: whole groups of four, '=' only at the end.
bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>& bytes) {
  if (text.empty() || text.size() % 4 != 0) return false;
  bytes.clear();
  std::size_t padding = 0;
  while (padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    const int value = Base64Value(text[i]);
    if (value < 0) return false;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    if (i % 4 == 3) {
      bytes.push_back(static_cast<std::uint8_t>(bits >> 16));
      bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
      bytes.push_back(static_cast<std::uint8_t>(bits));
      bits = 0;
    }
  }
  if (padding == 2) bytes.push_back(static_cast<std::uint8_t>(bits >> 4));
  if (padding == 1) {
    bytes.push_back(static_cast<std::uint8_t>(bits >> 10));
    bytes.push_back(static_cast<std::uint8_t>(bits >> 2));
  }
  return true;
}

// The SubjectPublicKeyInfo DER of a PEM public key.
bool PublicKeyDer(std::string_view pem, std::vector<std::uint8_t>& der, std::string& problem) {
  problem = PublicPemProblem(pem);
  if (!problem.empty()) return false;
  std::string base64;
  if (!PemBody(pem, "PUBLIC KEY", base64) || !DecodeBase64(base64, der)) {
    problem = "not a PEM public key";
    return false;
  }
  return true;
}

}  // namespace

bool VerifyWithKey(KeyScheme scheme, std::string_view publicKey,
                   std::span<const std::uint8_t> signature, std::span<const std::uint8_t> message,
                   std::string& problem) {
  std::vector<std::uint8_t> key;
  std::array<std::uint8_t, 2 * kP256ScalarBytes> raw{};
  std::span<const std::uint8_t> checked = signature;
  const char* kind = "";
  switch (scheme) {
    case KeyScheme::kEd25519:
      kind = "ed25519";
      if (!DecodeHex(publicKey, key) || key.size() != kEd25519KeyBytes) {
        problem = "not an ed25519 key";
        return false;
      }
      if (signature.size() != kEd25519SignatureBytes) {
        problem = "signature does not match";
        return false;
      }
      break;
    case KeyScheme::kEcdsaP256Sha256:
      kind = "ECDSA P-256";
      if (!PublicKeyDer(publicKey, key, problem)) return false;
      // WebCrypto takes r||s; the same strict reader as everywhere else turns the DER into it.
      if (!SignatureDerToRaw(signature, raw)) {
        problem = "signature does not match";
        return false;
      }
      checked = raw;
      break;
    case KeyScheme::kRsaPssSha256:
      kind = "RSA";
      if (!PublicKeyDer(publicKey, key, problem)) return false;
      break;
  }
  const int answer = web_verify_signature(
      static_cast<int>(scheme), key.data(), static_cast<int>(key.size()), checked.data(),
      static_cast<int>(checked.size()), message.data(), static_cast<int>(message.size()));
  switch (answer) {
    case 1:
      return true;
    case -1:
      problem = std::string("not an ") + kind + " key";
      if (scheme == KeyScheme::kEcdsaP256Sha256) problem = "not a P-256 key";
      return false;
    case -2:
      problem = std::string("this browser cannot check ") + kind + " signatures";
      return false;
    default:
      problem = "signature does not match";
      return false;
  }
}

}  // namespace zorbent
