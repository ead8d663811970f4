#include "datachannel/Certificate.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <mutex>
#include <utility>

namespace ombrelia::datachannel {
namespace {

// Browsers accept any validity; a month covers the longest session with room for clock skew.
constexpr long kValiditySeconds = 30L * 24 * 3600;

const EVP_MD* digestNamed(std::string algorithm) {
  std::transform(algorithm.begin(), algorithm.end(), algorithm.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (algorithm == "sha-1") return EVP_sha1();
  if (algorithm == "sha-224") return EVP_sha224();
  if (algorithm == "sha-256") return EVP_sha256();
  if (algorithm == "sha-384") return EVP_sha384();
  if (algorithm == "sha-512") return EVP_sha512();
  return nullptr;
}

// The shared certificate is replaced after half its validity, so no connection ever presents
// one that is about to expire.
constexpr std::chrono::seconds kRenewAfter{kValiditySeconds / 2};

}  // namespace

std::shared_ptr<Certificate> Certificate::shared() {
  static auto* mutex = new std::mutex();  // both live until the process ends
  static auto* current =
      new std::pair<std::shared_ptr<Certificate>, std::chrono::steady_clock::time_point>();
  std::lock_guard lock(*mutex);
  const auto now = std::chrono::steady_clock::now();
  if (!current->first || now - current->second >= kRenewAfter) {
    if (auto fresh = generate()) *current = {std::move(fresh), now};
  }
  return current->first;
}

std::shared_ptr<Certificate> Certificate::generate() {
  static std::once_flag initialised;
  std::call_once(initialised, [] {
    // Connections are torn down on the framework's threads, possibly while the process exits;
    // OpenSSL's exit-time cleanup would free its locks under them.
    OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
  });
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (key == nullptr) return nullptr;
  X509* x509 = X509_new();
  X509_NAME* name = X509_NAME_new();
  unsigned char serialBytes[8];
  bool ok = x509 != nullptr && name != nullptr && RAND_bytes(serialBytes, sizeof serialBytes) == 1;
  if (ok) {
    uint64_t serial = 0;
    for (unsigned char b : serialBytes) serial = (serial << 8) | b;
    ok = X509_set_version(x509, 2) == 1 &&
         ASN1_INTEGER_set_uint64(X509_get_serialNumber(x509), serial >> 1) == 1 &&
         X509_gmtime_adj(X509_getm_notBefore(x509), -3600) != nullptr &&
         X509_gmtime_adj(X509_getm_notAfter(x509), kValiditySeconds) != nullptr &&
         X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                    reinterpret_cast<const unsigned char*>("ombrelia"), -1, -1,
                                    0) == 1 &&
         X509_set_subject_name(x509, name) == 1 && X509_set_issuer_name(x509, name) == 1 &&
         X509_set_pubkey(x509, key) == 1 && X509_sign(x509, key, EVP_sha256()) > 0;
  }
  X509_NAME_free(name);
  if (!ok) {
    X509_free(x509);
    EVP_PKEY_free(key);
    return nullptr;
  }
  return std::shared_ptr<Certificate>(new Certificate(key, x509));
}

Certificate::Certificate(EVP_PKEY* key, X509* x509)
    : key_(key), x509_(x509), fingerprint_(fingerprintOf(x509, "sha-256")) {}

Certificate::~Certificate() {
  X509_free(x509_);
  EVP_PKEY_free(key_);
}

std::string Certificate::fingerprintOf(X509* certificate, const std::string& algorithm) {
  const EVP_MD* md = digestNamed(algorithm);
  if (md == nullptr || certificate == nullptr) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(certificate, md, digest, &length) != 1) return {};
  static const char* const kHex = "0123456789ABCDEF";
  std::string text;
  text.reserve(length * 3);
  for (unsigned int i = 0; i < length; ++i) {
    if (i > 0) text.push_back(':');
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0xF]);
  }
  return text;
}

}  // namespace ombrelia::datachannel
