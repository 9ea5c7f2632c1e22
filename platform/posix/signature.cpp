#include "platform/signature.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>

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

}  // namespace zorbent
