#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zorbent {

// Detached ECDSA P-256 signatures over SHA-256, in the DER form `openssl dgst -sha256 -sign`
// writes, with PEM keys as `openssl ecparam -name prime256v1 -genkey -noout` (private, also
// PKCS#8 "PRIVATE KEY") and `openssl ec -pubout` (public) write them. OpenSSL; CNG on
// Windows. On failure, problem says what was wrong in a few words ("not a P-256 key",
// "signature does not match"), for the caller to put after the file's name.
bool SignP256(std::span<const std::uint8_t> bytes, std::string_view privateKeyPem,
              std::vector<std::uint8_t>& signatureDer, std::string& problem);
bool VerifyP256(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> signatureDer,
                std::string_view publicKeyPem, std::string& problem);

// A public key alone, for refusing a bad trusted key before anything is checked against it.
bool CheckP256PublicKey(std::string_view publicKeyPem, std::string& problem);

// The pieces both systems share, here so they are the same on each.
namespace signature_detail {

inline constexpr std::size_t kP256ScalarBytes = 32;
// A DER ECDSA P-256 signature is a SEQUENCE of two INTEGERs of up to 33 bytes each.
inline constexpr std::size_t kMaxSignatureDerBytes = 72;

// The base64 text between "-----BEGIN <label>-----" and its END line; false when there is
// no such block.
bool PemBody(std::string_view pem, std::string_view label, std::string& base64);
// The first problem of a text given as a public key ("not a PEM public key", "a private key,
// not a public key") or a private one; empty when it has the block.
std::string PublicPemProblem(std::string_view pem);
std::string PrivatePemProblem(std::string_view pem);

// Strict DER (minimal lengths, positive integers, nothing after) to r||s, each left-padded
// to 32 bytes; false for anything else.
bool SignatureDerToRaw(std::span<const std::uint8_t> der, std::span<std::uint8_t, 64> raw);
// r||s to the DER form openssl writes.
std::vector<std::uint8_t> SignatureRawToDer(std::span<const std::uint8_t, 64> raw);

// The numbers of a P-256 private key from the DER of a SEC1 "EC PRIVATE KEY" or a PKCS#8
// "PRIVATE KEY": the secret left-padded to 32 bytes and the public point (0x04, X, Y).
struct P256PrivateKey {
  std::vector<std::uint8_t> secret;
  std::vector<std::uint8_t> point;
};
// Empty when read; else the problem ("not a PEM private key", "not a P-256 key", ...).
std::string ReadP256PrivateKeyDer(std::span<const std::uint8_t> der, bool pkcs8,
                                  P256PrivateKey& key);

}  // namespace signature_detail

}  // namespace zorbent
