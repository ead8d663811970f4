#pragma once
// Any thread: immutable once made.

#include <memory>
#include <string>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

namespace ombrelia::datachannel {

// A self-signed ECDSA P-256 certificate with its key. Peers authenticate it by the SHA-256
// fingerprint carried in the session description, not by any authority.
class Certificate {
 public:
  // None when the crypto library fails to make a key or sign.
  [[nodiscard]] static std::shared_ptr<Certificate> generate();
  // The process's certificate, made on first use and renewed well before it expires. Every
  // connection presents it, as other WebRTC stacks do: making a key per connection cost the
  // thread that adds peers a signature each time, and gave no peer anything more to check.
  [[nodiscard]] static std::shared_ptr<Certificate> shared();
  ~Certificate();
  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;

  EVP_PKEY* key() const { return key_; }
  X509* x509() const { return x509_; }
  // "AB:CD:..." upper-case hex of the SHA-256 digest of the DER certificate.
  const std::string& fingerprint() const { return fingerprint_; }

  // The fingerprint of any certificate with the named digest ("sha-256", "sha-1", ...), or the
  // empty text when the digest is unknown.
  static std::string fingerprintOf(X509* certificate, const std::string& algorithm);

 private:
  Certificate(EVP_PKEY* key, X509* x509);
  EVP_PKEY* key_;
  X509* x509_;
  std::string fingerprint_;
};

}  // namespace ombrelia::datachannel
