#include "platform/signature.h"
#include "platform/digest.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>

#include <openssl/rsa.h>

#include <array>
#include <climits>
#include <memory>

namespace zorbent {

namespace {

using namespace signature_detail;

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Context = std::unique_ptr<EVP_MD_CTX, ContextFree>;

// Never ask for a password: the default would prompt on the terminal.
int NoPassword(char*, int, int, void*) {
  return -1;
}

Key ReadKey(std::string_view pem, bool isPrivate) {
  if (pem.size() > INT_MAX) return nullptr;
  const std::unique_ptr<BIO, BioFree> bio(
      BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  Key key(isPrivate ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassword, nullptr)
                    : PEM_read_bio_PUBKEY(bio.get(), nullptr, NoPassword, nullptr));
  ERR_clear_error();
  return key;
}

bool IsP256(EVP_PKEY* key) {
  if (EVP_PKEY_is_a(key, "EC") != 1) return false;
  std::array<char, 64> group{};
  std::size_t length = 0;
  if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group.data(), group.size(),
                                     &length) != 1) {
    ERR_clear_error();
    return false;
  }
  return std::string_view(group.data(), length) == SN_X9_62_prime256v1;
}

// The public key of pem, or null with problem set.
Key PublicKey(std::string_view pem, std::string& problem) {
  problem = PublicPemProblem(pem);
  if (!problem.empty()) return nullptr;
  Key key = ReadKey(pem, false);
  if (!key) {
    problem = "not a PEM public key";
  } else if (!IsP256(key.get())) {
    problem = "not a P-256 key";
    key.reset();
  }
  return key;
}

constexpr std::size_t kEd25519Bytes = 32;
constexpr std::size_t kEd25519SignatureBytes = 64;
constexpr int kRsaBits = 3072;
constexpr int kPssSaltBytes = 32;                 // the digest's length
constexpr std::size_t kMaxSignatureBytes = 1024;  // RSA up to 8192 bits

std::string_view SchemeKeyName(KeyScheme scheme) {
  switch (scheme) {
    case KeyScheme::kEd25519:
      return "an ed25519 key";
    case KeyScheme::kEcdsaP256Sha256:
      return "a P-256 key";
    case KeyScheme::kRsaPssSha256:
      return "an RSA key";
  }
  return "a key";
}

bool IsOfScheme(EVP_PKEY* key, KeyScheme scheme) {
  switch (scheme) {
    case KeyScheme::kEd25519:
      return EVP_PKEY_is_a(key, "ED25519") == 1;
    case KeyScheme::kEcdsaP256Sha256:
      return IsP256(key);
    case KeyScheme::kRsaPssSha256:
      return EVP_PKEY_is_a(key, "RSA") == 1 || EVP_PKEY_is_a(key, "RSA-PSS") == 1;
  }
  return false;
}

// The public key of a key's "public" value in scheme's form, or null with problem set.
Key SchemePublicKey(KeyScheme scheme, std::string_view publicKey, std::string& problem) {
  Key key;
  if (scheme == KeyScheme::kEd25519) {
    std::vector<std::uint8_t> raw;
    if (!FromHex(publicKey, raw) || raw.size() != kEd25519Bytes) {
      problem = "not an ed25519 key";
      return nullptr;
    }
    key.reset(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw.data(), raw.size()));
    ERR_clear_error();
  } else {
    problem = PublicPemProblem(publicKey);
    if (!problem.empty()) return nullptr;
    key = ReadKey(publicKey, false);
  }
  if (!key || !IsOfScheme(key.get(), scheme)) {
    problem = "not " + std::string(SchemeKeyName(scheme));
    return nullptr;
  }
  return key;
}

Key SchemePrivateKey(KeyScheme scheme, std::string_view privateKeyPem, std::string& problem) {
  problem = PrivatePemProblem(privateKeyPem);
  if (!problem.empty()) return nullptr;
  Key key = ReadKey(privateKeyPem, true);
  if (!key) {
    problem = "not a PEM private key";
  } else if (!IsOfScheme(key.get(), scheme)) {
    problem = "not " + std::string(SchemeKeyName(scheme));
    key.reset();
  }
  return key;
}

// The digest and padding of scheme on a DigestSign/DigestVerify context.
bool SetUpContext(KeyScheme scheme, EVP_MD_CTX* context, EVP_PKEY* key, bool signing) {
  const EVP_MD* digest = scheme == KeyScheme::kEd25519 ? nullptr : EVP_sha256();
  EVP_PKEY_CTX* keyContext = nullptr;
  const int ready = signing ? EVP_DigestSignInit(context, &keyContext, digest, nullptr, key)
                            : EVP_DigestVerifyInit(context, &keyContext, digest, nullptr, key);
  if (ready != 1) return false;
  if (scheme != KeyScheme::kRsaPssSha256) return true;
  return EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PSS_PADDING) == 1 &&
         EVP_PKEY_CTX_set_rsa_mgf1_md(keyContext, EVP_sha256()) == 1 &&
         EVP_PKEY_CTX_set_rsa_pss_saltlen(keyContext,
                                          signing ? kPssSaltBytes : RSA_PSS_SALTLEN_AUTO) == 1;
}

std::string PemOf(EVP_PKEY* key, bool isPrivate) {
  const std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio) return {};
  const int written =
      isPrivate ? PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                : PEM_write_bio_PUBKEY(bio.get(), key);
  if (written != 1) return {};
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

// The public value of key in scheme's form: raw hex for ed25519, PEM for the others.
bool PublicValue(KeyScheme scheme, EVP_PKEY* key, std::string& publicKey) {
  if (scheme == KeyScheme::kEd25519) {
    std::array<std::uint8_t, kEd25519Bytes> raw{};
    std::size_t length = raw.size();
    if (EVP_PKEY_get_raw_public_key(key, raw.data(), &length) != 1 || length != raw.size()) {
      return false;
    }
    publicKey = Hex(raw);
  } else {
    publicKey = PemOf(key, false);
  }
  return !publicKey.empty();
}

}  // namespace

bool CheckP256PublicKey(std::string_view publicKeyPem, std::string& problem) {
  return PublicKey(publicKeyPem, problem) != nullptr;
}

bool SignP256(std::span<const std::uint8_t> bytes, std::string_view privateKeyPem,
              std::vector<std::uint8_t>& signatureDer, std::string& problem) {
  signatureDer.clear();
  problem = PrivatePemProblem(privateKeyPem);
  if (!problem.empty()) return false;
  const Key key = ReadKey(privateKeyPem, true);
  if (!key) {
    problem = "not a PEM private key";
    return false;
  }
  if (!IsP256(key.get())) {
    problem = "not a P-256 key";
    return false;
  }
  const Context context(EVP_MD_CTX_new());
  std::size_t length = kMaxSignatureDerBytes;
  signatureDer.resize(length);
  const bool signedOk =
      context &&
      EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
      EVP_DigestSign(context.get(), signatureDer.data(), &length, bytes.data(), bytes.size()) == 1;
  ERR_clear_error();
  if (!signedOk) {
    signatureDer.clear();
    problem = "the system's crypto library could not sign";
    return false;
  }
  signatureDer.resize(length);
  return true;
}

bool VerifyP256(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> signatureDer,
                std::string_view publicKeyPem, std::string& problem) {
  const Key key = PublicKey(publicKeyPem, problem);
  if (!key) return false;
  // Checked here too, so a malformed signature is told the same way on every system.
  std::array<std::uint8_t, 2 * kP256ScalarBytes> raw{};
  if (!SignatureDerToRaw(signatureDer, raw)) {
    problem = "not a DER ECDSA signature";
    return false;
  }
  const Context context(EVP_MD_CTX_new());
  const bool matches =
      context &&
      EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
      EVP_DigestVerify(context.get(), signatureDer.data(), signatureDer.size(), bytes.data(),
                       bytes.size()) == 1;
  ERR_clear_error();
  if (!matches) problem = "signature does not match";
  return matches;
}

bool VerifyWithKey(KeyScheme scheme, std::string_view publicKey,
                   std::span<const std::uint8_t> signature, std::span<const std::uint8_t> message,
                   std::string& problem) {
  const Key key = SchemePublicKey(scheme, publicKey, problem);
  if (!key) return false;
  if (scheme == KeyScheme::kEd25519 && signature.size() != kEd25519SignatureBytes) {
    problem = "signature does not match";
    return false;
  }
  const Context context(EVP_MD_CTX_new());
  const bool matches = context && SetUpContext(scheme, context.get(), key.get(), false) &&
                       EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                                        message.data(), message.size()) == 1;
  ERR_clear_error();
  if (!matches) problem = "signature does not match";
  return matches;
}

bool SignWithKey(KeyScheme scheme, std::string_view privateKeyPem,
                 std::span<const std::uint8_t> message, std::vector<std::uint8_t>& signature,
                 std::string& problem) {
  signature.clear();
  const Key key = SchemePrivateKey(scheme, privateKeyPem, problem);
  if (!key) return false;
  const Context context(EVP_MD_CTX_new());
  std::size_t length = kMaxSignatureBytes;
  signature.resize(length);
  const bool signedOk =
      context && SetUpContext(scheme, context.get(), key.get(), true) &&
      EVP_DigestSign(context.get(), signature.data(), &length, message.data(), message.size()) == 1;
  ERR_clear_error();
  if (!signedOk) {
    signature.clear();
    problem = "the system's crypto library could not sign";
    return false;
  }
  signature.resize(length);
  return true;
}

bool MakeKeyPair(KeyScheme scheme, std::string& privateKeyPem, std::string& publicKey,
                 std::string& problem) {
  privateKeyPem.clear();
  publicKey.clear();
  Key key;
  switch (scheme) {
    case KeyScheme::kEd25519:
      key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
      break;
    case KeyScheme::kEcdsaP256Sha256:
      key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", SN_X9_62_prime256v1));
      break;
    case KeyScheme::kRsaPssSha256:
      key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(kRsaBits)));
      break;
  }
  const bool made = key && !(privateKeyPem = PemOf(key.get(), true)).empty() &&
                    PublicValue(scheme, key.get(), publicKey);
  ERR_clear_error();
  if (!made) {
    privateKeyPem.clear();
    publicKey.clear();
    problem = "the system's crypto library could not make a key";
  }
  return made;
}

bool PublicKeyOf(KeyScheme scheme, std::string_view privateKeyPem, std::string& publicKey,
                 std::string& problem) {
  publicKey.clear();
  const Key key = SchemePrivateKey(scheme, privateKeyPem, problem);
  if (!key) return false;
  const bool read = PublicValue(scheme, key.get(), publicKey);
  ERR_clear_error();
  if (!read) problem = "the system's crypto library could not read the key";
  return read;
}

}  // namespace zorbent
