#include "platform/signature.h"

// clang-format off
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
// clang-format on

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

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

bool LoadPublicKey(std::string_view pem, KeyHandle& handle, std::string& problem) {
  problem = PublicPemProblem(pem);
  if (!problem.empty()) return false;
  std::string base64;
  std::vector<std::uint8_t> der;
  PemBody(pem, "PUBLIC KEY", base64);
  const auto info =
      Base64ToDer(base64, der) ? Decode<CERT_PUBLIC_KEY_INFO>(X509_PUBLIC_KEY_INFO, der) : nullptr;
  if (!info) {
    problem = "not a PEM public key";
    return false;
  }
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

// The repository's key kinds are not here yet: each fails, so a repository is refused
// rather than trusted.
namespace {
constexpr std::string_view kNoRepositoryKeys = "this build cannot check repository keys";
}  // namespace

bool VerifyWithKey(KeyScheme, std::string_view, std::span<const std::uint8_t>,
                   std::span<const std::uint8_t>, std::string& problem) {
  problem = kNoRepositoryKeys;
  return false;
}

bool SignWithKey(KeyScheme, std::string_view, std::span<const std::uint8_t>,
                 std::vector<std::uint8_t>& signature, std::string& problem) {
  signature.clear();
  problem = kNoRepositoryKeys;
  return false;
}

bool MakeKeyPair(KeyScheme, std::string&, std::string&, std::string& problem) {
  problem = kNoRepositoryKeys;
  return false;
}

bool PublicKeyOf(KeyScheme, std::string_view, std::string&, std::string& problem) {
  problem = kNoRepositoryKeys;
  return false;
}

}  // namespace zorbent
