#include "platform/signature.h"

// clang-format off
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
// clang-format on
#include <gcrypt.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/digest.h"

namespace zorbent {

namespace {

using namespace signature_detail;

// The named curve P-256 as a DER OBJECT IDENTIFIER, as key algorithm parameters hold it.
constexpr std::array<std::uint8_t, 10> kP256CurveDer = {0x06, 0x08, 0x2A, 0x86, 0x48,
                                                        0xCE, 0x3D, 0x03, 0x01, 0x07};
// An uncompressed point: 0x04, X, Y.
constexpr std::size_t kPointBytes = 1 + 2 * kP256ScalarBytes;

struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};
template <typename T>
using Decoded = std::unique_ptr<T, LocalFreer>;

struct KeyHandle {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_KEY_HANDLE key = nullptr;
  KeyHandle() = default;
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  ~KeyHandle() {
    if (key != nullptr) BCryptDestroyKey(key);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

bool Base64ToDer(const std::string& base64, std::vector<std::uint8_t>& der) {
  DWORD size = 0;
  if (!CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64,
                            nullptr, &size, nullptr, nullptr))
    return false;
  der.resize(size);
  if (!CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64,
                            der.data(), &size, nullptr, nullptr))
    return false;
  der.resize(size);
  return true;
}

template <typename T>
Decoded<T> Decode(LPCSTR type, std::span<const std::uint8_t> der) {
  void* out = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type, der.data(),
                           static_cast<DWORD>(der.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr, &out,
                           &size))
    return nullptr;
  return Decoded<T>(static_cast<T*>(out));
}

bool IsP256Parameters(const CRYPT_OBJID_BLOB& parameters) {
  return parameters.cbData == kP256CurveDer.size() &&
         std::memcmp(parameters.pbData, kP256CurveDer.data(), kP256CurveDer.size()) == 0;
}

// X and Y of an uncompressed point; false for any other form.
bool PointCoordinates(const CRYPT_BIT_BLOB& point, std::vector<std::uint8_t>& blob) {
  if (point.cbData != kPointBytes || point.pbData[0] != 0x04) return false;
  blob.insert(blob.end(), point.pbData + 1, point.pbData + kPointBytes);
  return true;
}

// blob: a BCRYPT_ECCKEY_BLOB header followed by the key's numbers.
bool ImportKey(ULONG magic, LPCWSTR blobType, std::vector<std::uint8_t> numbers,
               KeyHandle& handle) {
  BCRYPT_ECCKEY_BLOB header{magic, static_cast<ULONG>(kP256ScalarBytes)};
  std::vector<std::uint8_t> blob(sizeof header);
  std::memcpy(blob.data(), &header, sizeof header);
  blob.insert(blob.end(), numbers.begin(), numbers.end());
  return BCryptOpenAlgorithmProvider(&handle.algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) ==
             0 &&
         BCryptImportKeyPair(handle.algorithm, nullptr, blobType, &handle.key, blob.data(),
                             static_cast<ULONG>(blob.size()), 0) == 0;
}

// The SubjectPublicKeyInfo of a PEM public key, decoded by the system; null with problem.
Decoded<CERT_PUBLIC_KEY_INFO> PublicKeyInfo(std::string_view pem, std::string& problem) {
  problem = PublicPemProblem(pem);
  if (!problem.empty()) return nullptr;
  std::string base64;
  std::vector<std::uint8_t> der;
  PemBody(pem, "PUBLIC KEY", base64);
  auto info =
      Base64ToDer(base64, der) ? Decode<CERT_PUBLIC_KEY_INFO>(X509_PUBLIC_KEY_INFO, der) : nullptr;
  if (!info) problem = "not a PEM public key";
  return info;
}

bool LoadPublicKey(std::string_view pem, KeyHandle& handle, std::string& problem) {
  const auto info = PublicKeyInfo(pem, problem);
  if (!info) return false;
  std::vector<std::uint8_t> numbers;
  if (info->Algorithm.pszObjId == nullptr ||
      std::strcmp(info->Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) != 0 ||
      !IsP256Parameters(info->Algorithm.Parameters) ||
      !PointCoordinates(info->PublicKey, numbers)) {
    problem = "not a P-256 key";
    return false;
  }
  if (!ImportKey(BCRYPT_ECDSA_PUBLIC_P256_MAGIC, BCRYPT_ECCPUBLIC_BLOB, numbers, handle)) {
    problem = "not a P-256 key";
    return false;
  }
  return true;
}

// SEC1 ("EC PRIVATE KEY") or PKCS#8 ("PRIVATE KEY"). Read by the shared reader rather than
// CryptDecodeObjectEx, whose EC private key forms not every Windows-compatible system has.
bool LoadPrivateKey(std::string_view pem, KeyHandle& handle, std::string& problem) {
  problem = PrivatePemProblem(pem);
  if (!problem.empty()) return false;
  std::string base64;
  std::vector<std::uint8_t> der;
  const bool sec1 = PemBody(pem, "EC PRIVATE KEY", base64);
  if (!sec1) PemBody(pem, "PRIVATE KEY", base64);
  P256PrivateKey key;
  problem =
      Base64ToDer(base64, der) ? ReadP256PrivateKeyDer(der, !sec1, key) : "not a PEM private key";
  if (!problem.empty()) return false;
  std::vector<std::uint8_t> numbers(key.point.begin() + 1, key.point.end());
  numbers.insert(numbers.end(), key.secret.begin(), key.secret.end());
  if (!ImportKey(BCRYPT_ECDSA_PRIVATE_P256_MAGIC, BCRYPT_ECCPRIVATE_BLOB, std::move(numbers),
                 handle)) {
    problem = "not a P-256 key";
    return false;
  }
  return true;
}

}  // namespace

bool CheckP256PublicKey(std::string_view publicKeyPem, std::string& problem) {
  KeyHandle handle;
  return LoadPublicKey(publicKeyPem, handle, problem);
}

bool SignP256(std::span<const std::uint8_t> bytes, std::string_view privateKeyPem,
              std::vector<std::uint8_t>& signatureDer, std::string& problem) {
  signatureDer.clear();
  KeyHandle handle;
  if (!LoadPrivateKey(privateKeyPem, handle, problem)) return false;
  Sha256Digest hash = Sha256(bytes);
  std::array<std::uint8_t, 2 * kP256ScalarBytes> raw{};
  ULONG written = 0;
  if (BCryptSignHash(handle.key, nullptr, hash.data(), static_cast<ULONG>(hash.size()), raw.data(),
                     static_cast<ULONG>(raw.size()), &written, 0) != 0 ||
      written != raw.size()) {
    problem = "the system's crypto library could not sign";
    return false;
  }
  signatureDer = SignatureRawToDer(raw);
  return true;
}

bool VerifyP256(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> signatureDer,
                std::string_view publicKeyPem, std::string& problem) {
  KeyHandle handle;
  if (!LoadPublicKey(publicKeyPem, handle, problem)) return false;
  std::array<std::uint8_t, 2 * kP256ScalarBytes> raw{};
  if (!SignatureDerToRaw(signatureDer, raw)) {
    problem = "not a DER ECDSA signature";
    return false;
  }
  Sha256Digest hash = Sha256(bytes);
  if (BCryptVerifySignature(handle.key, nullptr, hash.data(), static_cast<ULONG>(hash.size()),
                            raw.data(), static_cast<ULONG>(raw.size()), 0) != 0) {
    problem = "signature does not match";
    return false;
  }
  return true;
}

namespace {

constexpr std::size_t kEd25519Bytes = 32;
constexpr std::size_t kEd25519SignatureBytes = 64;
constexpr std::size_t kSha256Bytes = 32;
constexpr std::string_view kNotHere = "not on Windows: sign on Linux";

// An RSA public key: SubjectPublicKeyInfo decoded by the system into CNG's own key form.
bool LoadRsaPublicKey(std::string_view pem, KeyHandle& handle, ULONG& bits, std::string& problem) {
  const auto info = PublicKeyInfo(pem, problem);
  if (!info) return false;
  problem = "not an RSA key";
  if (info->Algorithm.pszObjId == nullptr ||
      std::strcmp(info->Algorithm.pszObjId, szOID_RSA_RSA) != 0)
    return false;
  const auto blob = Decode<BCRYPT_RSAKEY_BLOB>(CNG_RSA_PUBLIC_KEY_BLOB,
                                               {info->PublicKey.pbData, info->PublicKey.cbData});
  if (!blob) return false;
  const ULONG size = sizeof(BCRYPT_RSAKEY_BLOB) + blob->cbPublicExp + blob->cbModulus;
  if (BCryptOpenAlgorithmProvider(&handle.algorithm, BCRYPT_RSA_ALGORITHM, nullptr, 0) != 0 ||
      BCryptImportKeyPair(handle.algorithm, nullptr, BCRYPT_RSAPUBLIC_BLOB, &handle.key,
                          reinterpret_cast<PUCHAR>(blob.get()), size, 0) != 0)
    return false;
  bits = blob->BitLength;
  problem.clear();
  return true;
}

// CNG takes the salt length of a PSS signature as given, where OpenSSL recovers it: try the
// two that signers use, the digest's length and the longest the key allows.
bool VerifyRsaPss(std::string_view publicKey, std::span<const std::uint8_t> signature,
                  std::span<const std::uint8_t> message, std::string& problem) {
  KeyHandle handle;
  ULONG bits = 0;
  if (!LoadRsaPublicKey(publicKey, handle, bits, problem)) return false;
  if (bits < 8 * (2 * kSha256Bytes + 2) + 1) {
    problem = "not an RSA key";
    return false;
  }
  const std::size_t encodedBytes = (bits - 1 + 7) / 8;
  Sha256Digest hash = Sha256(message);
  for (const std::size_t salt : {kSha256Bytes, encodedBytes - kSha256Bytes - 2}) {
    BCRYPT_PSS_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM, static_cast<ULONG>(salt)};
    if (BCryptVerifySignature(handle.key, &padding, hash.data(), static_cast<ULONG>(hash.size()),
                              const_cast<PUCHAR>(signature.data()),
                              static_cast<ULONG>(signature.size()), BCRYPT_PAD_PSS) == 0)
      return true;
  }
  problem = "signature does not match";
  return false;
}

// CNG has no ed25519: libgcrypt, initialised once for the process.
void StartGcrypt() {
  static std::once_flag once;
  std::call_once(once, [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  });
}

struct Sexp {
  gcry_sexp_t value = nullptr;
  Sexp() = default;
  Sexp(const Sexp&) = delete;
  Sexp& operator=(const Sexp&) = delete;
  ~Sexp() { gcry_sexp_release(value); }
};

bool HexToBytes(std::string_view hex, std::vector<std::uint8_t>& bytes) {
  const auto digit = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  if (hex.size() % 2 != 0) return false;
  bytes.clear();
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = digit(hex[i]), low = digit(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return true;
}

bool VerifyEd25519(std::string_view publicHex, std::span<const std::uint8_t> signature,
                   std::span<const std::uint8_t> message, std::string& problem) {
  std::vector<std::uint8_t> point;
  if (!HexToBytes(publicHex, point) || point.size() != kEd25519Bytes) {
    problem = "not an ed25519 key";
    return false;
  }
  if (signature.size() != kEd25519SignatureBytes) {
    problem = "signature does not match";
    return false;
  }
  StartGcrypt();
  Sexp key, sig, data;
  const int half = static_cast<int>(kEd25519SignatureBytes / 2);
  if (gcry_sexp_build(&key.value, nullptr, "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))",
                      static_cast<int>(point.size()), point.data()) != 0 ||
      gcry_sexp_build(&sig.value, nullptr, "(sig-val(eddsa(r %b)(s %b)))", half, signature.data(),
                      half, signature.data() + half) != 0 ||
      gcry_sexp_build(&data.value, nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))",
                      static_cast<int>(message.size()), message.data()) != 0) {
    problem = "not an ed25519 key";
    return false;
  }
  if (gcry_pk_verify(sig.value, data.value, key.value) != 0) {
    problem = "signature does not match";
    return false;
  }
  return true;
}

}  // namespace

bool VerifyWithKey(KeyScheme scheme, std::string_view publicKey,
                   std::span<const std::uint8_t> signature, std::span<const std::uint8_t> message,
                   std::string& problem) {
  switch (scheme) {
    case KeyScheme::kEd25519:
      return VerifyEd25519(publicKey, signature, message, problem);
    case KeyScheme::kEcdsaP256Sha256:
      return VerifyP256(message, signature, publicKey, problem);
    case KeyScheme::kRsaPssSha256:
      return VerifyRsaPss(publicKey, signature, message, problem);
  }
  problem = "unknown key scheme";
  return false;
}

// Publishing runs where the maker keeps its keys; on Windows only ECDSA P-256 signs and is
// made.
bool SignWithKey(KeyScheme scheme, std::string_view privateKeyPem,
                 std::span<const std::uint8_t> message, std::vector<std::uint8_t>& signature,
                 std::string& problem) {
  if (scheme == KeyScheme::kEcdsaP256Sha256)
    return SignP256(message, privateKeyPem, signature, problem);
  signature.clear();
  problem = kNotHere;
  return false;
}

namespace {

// The fixed DER around a P-256 key's numbers: SEC1 ECPrivateKey (version 1, the secret, the
// curve, the public point) and SubjectPublicKeyInfo, as openssl writes them.
constexpr std::uint8_t kSec1Head[] = {0x30, 0x77, 0x02, 0x01, 0x01, 0x04, 0x20};
constexpr std::uint8_t kSec1Middle[] = {0xA0, 0x0A, 0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D,
                                        0x03, 0x01, 0x07, 0xA1, 0x44, 0x03, 0x42, 0x00};
constexpr std::uint8_t kPublicHead[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                                        0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                        0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};

// PEM as openssl writes it: 64 characters a line, LF line ends.
std::string Pem(std::string_view label, std::span<const std::uint8_t> der) {
  constexpr DWORD kFlags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCR;
  DWORD size = 0;
  std::string base64;
  if (CryptBinaryToStringA(der.data(), static_cast<DWORD>(der.size()), kFlags, nullptr, &size)) {
    base64.resize(size);
    CryptBinaryToStringA(der.data(), static_cast<DWORD>(der.size()), kFlags, base64.data(), &size);
    base64.resize(size);
  }
  while (!base64.empty() && (base64.back() == '\0' || base64.back() == '\n')) base64.pop_back();
  return "-----BEGIN " + std::string(label) + "-----\n" + base64 + "\n-----END " +
         std::string(label) + "-----\n";
}

std::string P256PublicPem(std::span<const std::uint8_t> point) {
  std::vector<std::uint8_t> der(std::begin(kPublicHead), std::end(kPublicHead));
  der.insert(der.end(), point.begin(), point.end());
  return Pem("PUBLIC KEY", der);
}

}  // namespace

// Only ECDSA P-256 keys are made here: CNG makes the numbers, the DER around them is fixed.
bool MakeKeyPair(KeyScheme scheme, std::string& privateKeyPem, std::string& publicKey,
                 std::string& problem) {
  privateKeyPem.clear();
  publicKey.clear();
  if (scheme != KeyScheme::kEcdsaP256Sha256) {
    problem = kNotHere;
    return false;
  }
  KeyHandle handle;
  std::vector<std::uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 3 * kP256ScalarBytes);
  ULONG written = 0;
  if (BCryptOpenAlgorithmProvider(&handle.algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) !=
          0 ||
      BCryptGenerateKeyPair(handle.algorithm, &handle.key, 256, 0) != 0 ||
      BCryptFinalizeKeyPair(handle.key, 0) != 0 ||
      BCryptExportKey(handle.key, nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(),
                      static_cast<ULONG>(blob.size()), &written, 0) != 0 ||
      written != blob.size()) {
    problem = "the system's crypto library could not make a key";
    return false;
  }
  const auto numbers = std::span(blob).subspan(sizeof(BCRYPT_ECCKEY_BLOB));
  std::vector<std::uint8_t> point = {0x04};
  point.insert(point.end(), numbers.begin(), numbers.begin() + 2 * kP256ScalarBytes);
  std::vector<std::uint8_t> der(std::begin(kSec1Head), std::end(kSec1Head));
  der.insert(der.end(), numbers.begin() + 2 * kP256ScalarBytes, numbers.end());
  der.insert(der.end(), std::begin(kSec1Middle), std::end(kSec1Middle));
  der.insert(der.end(), point.begin(), point.end());
  privateKeyPem = Pem("EC PRIVATE KEY", der);
  publicKey = P256PublicPem(point);
  SecureZeroMemory(blob.data(), blob.size());
  SecureZeroMemory(der.data(), der.size());
  return true;
}

bool PublicKeyOf(KeyScheme scheme, std::string_view privateKeyPem, std::string& publicKey,
                 std::string& problem) {
  publicKey.clear();
  if (scheme != KeyScheme::kEcdsaP256Sha256) {
    problem = kNotHere;
    return false;
  }
  problem = PrivatePemProblem(privateKeyPem);
  if (!problem.empty()) return false;
  std::string base64;
  std::vector<std::uint8_t> der;
  const bool sec1 = PemBody(privateKeyPem, "EC PRIVATE KEY", base64);
  if (!sec1) PemBody(privateKeyPem, "PRIVATE KEY", base64);
  P256PrivateKey key;
  problem =
      Base64ToDer(base64, der) ? ReadP256PrivateKeyDer(der, !sec1, key) : "not a PEM private key";
  if (!problem.empty()) return false;
  publicKey = P256PublicPem(key.point);
  return true;
}

}  // namespace zorbent
