#include "support/SelfSignedCertificate.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace ombrelia::test {
namespace {

template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("self-signed certificate: ") + what);
}

void addExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  Owned<X509_EXTENSION, X509_EXTENSION_free> extension(
      X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  check(extension != nullptr && X509_add_ext(certificate, extension.get(), -1) == 1, "extension");
}

void closeFile(FILE* file) { std::fclose(file); }

void writePem(const std::filesystem::path& path, bool (*write)(FILE*, void*), void* object) {
  Owned<FILE, closeFile> file(std::fopen(path.c_str(), "w"));
  check(file != nullptr, "cannot open output file");
  check(write(file.get(), object), "cannot write PEM");
}

}  // namespace

SelfSignedCertificate::SelfSignedCertificate(const std::filesystem::path& directory)
    : certificateFile_(directory / "cert.pem"), keyFile_(directory / "key.pem") {
  Owned<EVP_PKEY, EVP_PKEY_free> key(EVP_EC_gen("P-256"));
  check(key != nullptr, "key generation");

  Owned<X509, X509_free> certificate(X509_new());
  check(certificate != nullptr, "certificate allocation");
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 24 * 3600);
  X509_set_pubkey(certificate.get(), key.get());
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(certificate.get(), name);
  addExtension(certificate.get(), NID_basic_constraints, "critical,CA:TRUE");
  addExtension(certificate.get(), NID_subject_alt_name, "IP:127.0.0.1,IP:::1,DNS:localhost");
  check(X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0, "signing");

  writePem(
      keyFile_,
      [](FILE* f, void* k) {
        return PEM_write_PrivateKey(f, static_cast<EVP_PKEY*>(k), nullptr, nullptr, 0, nullptr,
                                    nullptr) == 1;
      },
      key.get());
  writePem(
      certificateFile_,
      [](FILE* f, void* c) { return PEM_write_X509(f, static_cast<X509*>(c)) == 1; },
      certificate.get());
}

}  // namespace ombrelia::test
