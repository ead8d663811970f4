#pragma once
// Any thread after construction: read-only.

#include <filesystem>
#include <string>
#include <vector>

namespace ombrelia::test {

// A throwaway certificate authority made at test time, and server certificates signed by it, so
// that wss tests run against a trust store of their own (P-256 keys, SHA-256 signatures).
class TestCertificates {
 public:
  struct Pem {
    std::string certificate;
    std::string privateKey;
  };

  // Makes the authority and writes its certificate to a fresh temporary folder.
  TestCertificates();
  ~TestCertificates();
  TestCertificates(const TestCertificates&) = delete;
  TestCertificates& operator=(const TestCertificates&) = delete;

  const std::filesystem::path& caFile() const { return caFile_; }
  // Points SSL_CERT_FILE at the authority: from now on the library trusts it, and only it.
  void trustInProcess() const;

  // A server certificate signed by the authority for the given names and addresses.
  Pem issue(const std::vector<std::string>& dnsNames,
            const std::vector<std::string>& ipAddresses = {}) const;
  // A self-signed certificate for the name, which no trust store holds.
  static Pem selfSigned(const std::string& dnsName);

 private:
  std::filesystem::path folder_;
  std::filesystem::path caFile_;
  Pem authority_;
};

}  // namespace ombrelia::test
