#include "support/TestCertificates.hpp"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace ombrelia::test {

namespace {

struct Deleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(X509* cert) const { X509_free(cert); }
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter>;
using Cert = std::unique_ptr<X509, Deleter>;
using Bio = std::unique_ptr<BIO, Deleter>;

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(length));
}

std::string pemOf(X509* cert) {
  Bio bio(BIO_new(BIO_s_mem()));
  require(PEM_write_bio_X509(bio.get(), cert) == 1, "write certificate");
  return bioText(bio.get());
}

std::string pemOf(EVP_PKEY* key) {
  Bio bio(BIO_new(BIO_s_mem()));
  require(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "write key");
  return bioText(bio.get());
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  require(extension != nullptr, "extension");
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
}

// A certificate for `commonName` with `key`, signed by `issuerKey` under `issuer` (itself when
// null).
Cert makeCertificate(EVP_PKEY* key, const std::string& commonName, X509* issuer,
                     EVP_PKEY* issuerKey, bool authority, const std::string& subjectAltName) {
  Cert cert(X509_new());
  X509_set_version(cert.get(), 2);
  unsigned char serial[8];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get()));
  BN_free(number);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  if (authority) {
    addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
  }
  addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  if (!subjectAltName.empty()) {
    addExtension(cert.get(), signer, NID_subject_alt_name, subjectAltName);
  }
  require(X509_sign(cert.get(), issuerKey, EVP_sha256()) > 0, "sign");
  return cert;
}

Key newKey() {
  Key key(EVP_EC_gen("P-256"));
  require(key != nullptr, "key");
  return key;
}

Key readKey(const std::string& pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return Key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

Cert readCert(const std::string& pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return Cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

}  // namespace

TestCertificates::TestCertificates() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ombrelia-ca-XXXXXX").string();
  require(mkdtemp(pattern.data()) != nullptr, "temporary folder");
  folder_ = pattern;
  caFile_ = folder_ / "ca.pem";
  Key key = newKey();
  Cert cert = makeCertificate(key.get(), "Ombrelia Test CA", nullptr, key.get(), true, "");
  authority_ = Pem{pemOf(cert.get()), pemOf(key.get())};
  std::ofstream(caFile_) << authority_.certificate;
}

TestCertificates::~TestCertificates() {
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void TestCertificates::trustInProcess() const { setenv("SSL_CERT_FILE", caFile_.c_str(), 1); }

TestCertificates::Pem TestCertificates::issue(const std::vector<std::string>& dnsNames,
                                              const std::vector<std::string>& ipAddresses) const {
  std::string alt;
  for (const auto& name : dnsNames) alt += (alt.empty() ? "DNS:" : ",DNS:") + name;
  for (const auto& ip : ipAddresses) alt += (alt.empty() ? "IP:" : ",IP:") + ip;
  Key caKey = readKey(authority_.privateKey);
  Cert caCert = readCert(authority_.certificate);
  require(caKey && caCert, "read authority");
  Key key = newKey();
  Cert cert = makeCertificate(key.get(), dnsNames.empty() ? "server" : dnsNames.front(),
                              caCert.get(), caKey.get(), false, alt);
  return Pem{pemOf(cert.get()), pemOf(key.get())};
}

TestCertificates::Pem TestCertificates::selfSigned(const std::string& dnsName) {
  Key key = newKey();
  Cert cert = makeCertificate(key.get(), dnsName, nullptr, key.get(), false, "DNS:" + dnsName);
  return Pem{pemOf(cert.get()), pemOf(key.get())};
}

}  // namespace ombrelia::test
