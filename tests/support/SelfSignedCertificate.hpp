#pragma once
// Any thread: writes two files and keeps nothing else.

#include <filesystem>

namespace ombrelia::test {

// A P-256 key and a self-signed certificate for 127.0.0.1, ::1 and localhost, written as PEM
// files for loopback TLS servers; clients trust the certificate file as their CA.
class SelfSignedCertificate {
 public:
  // Writes "cert.pem" and "key.pem" into `directory`. Throws std::runtime_error on failure.
  explicit SelfSignedCertificate(const std::filesystem::path& directory);

  const std::filesystem::path& certificateFile() const { return certificateFile_; }
  const std::filesystem::path& keyFile() const { return keyFile_; }

 private:
  std::filesystem::path certificateFile_;
  std::filesystem::path keyFile_;
};

}  // namespace ombrelia::test
