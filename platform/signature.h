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

// Signatures of a firmware repository's metadata, for the three kinds of key such
// repositories use. publicKey is what the key's "public" value holds: 64 hex digits for
// ed25519, a PEM public key ("-----BEGIN PUBLIC KEY-----") for the other two. Signatures are
// raw bytes (the caller decodes hex): 64 bytes for ed25519, DER for ECDSA P-256 over SHA-256,
// RSA-PSS over SHA-256 with MGF1(SHA-256) (any salt length when verifying; 32 bytes, the
// digest's length, when signing). OpenSSL; CNG on Windows where it has the algorithm. False
// with problem in a few words ("signature does not match", "not an ed25519 key").
enum class KeyScheme { kEd25519, kEcdsaP256Sha256, kRsaPssSha256 };
bool VerifyWithKey(KeyScheme scheme, std::string_view publicKey,
                   std::span<const std::uint8_t> signature, std::span<const std::uint8_t> message,
                   std::string& problem);
// Signing and new keys, for the publisher (not on the page). Private keys are PEM as openssl
// writes them (PKCS#8 "PRIVATE KEY", or SEC1 "EC PRIVATE KEY" for P-256).
bool SignWithKey(KeyScheme scheme, std::string_view privateKeyPem,
                 std::span<const std::uint8_t> message, std::vector<std::uint8_t>& signature,
                 std::string& problem);
bool MakeKeyPair(KeyScheme scheme, std::string& privateKeyPem, std::string& publicKey,
                 std::string& problem);
// The public value of a private key, in the same form as MakeKeyPair's publicKey.
bool PublicKeyOf(KeyScheme scheme, std::string_view privateKeyPem, std::string& publicKey,
                 std::string& problem);

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
