#pragma once
// The test's thread: start, write files and stop from the test; nginx runs as a child process.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "support/SelfSignedCertificate.hpp"

namespace ombrelia::test {

// A real origin: nginx-light serving a scratch directory on 127.0.0.1 and a free port, over
// HTTP/1.1 or over TLS with HTTP/2. HLS files get their usual MIME types. The path
// "/connection" answers "<protocol> <connection serial number>" so a test can see which
// protocol and which connection carried a request.
class NginxOrigin {
 public:
  struct Settings {
    bool tls = false;  // HTTPS with a self-signed certificate (see certificateFile())
    bool http2 = false;
    // Added inside the server block, for tests that need more locations.
    std::string extraServerConfig{};
    // Also listens for plain HTTP on a second port, which answers every request with a 302 to
    // the same path and query on the main port: a CDN sending http:// on to https://.
    bool redirectFromPlainHttp = false;
  };

  // Starts nginx and waits until it accepts connections. Throws std::runtime_error when it
  // cannot be started.
  explicit NginxOrigin(Settings settings);
  NginxOrigin() : NginxOrigin(Settings{}) {}
  // Stops nginx and removes the scratch directory.
  ~NginxOrigin();
  NginxOrigin(const NginxOrigin&) = delete;
  NginxOrigin& operator=(const NginxOrigin&) = delete;

  // The document root; files written here are served at once.
  const std::filesystem::path& root() const { return root_; }
  void writeFile(const std::string& relativePath, std::string_view contents) const;

  uint16_t port() const { return port_; }
  // "http(s)://127.0.0.1:<port>" followed by `path`.
  std::string url(std::string_view path) const;
  // "http://127.0.0.1:<redirecting port>" followed by `path`, with `redirectFromPlainHttp`.
  std::string redirectingUrl(std::string_view path) const;
  // The certificate to trust as CA when `tls` is set.
  std::filesystem::path certificateFile() const;

 private:
  void writeConfig(const Settings& settings) const;
  bool start();
  void stop();

  std::filesystem::path directory_;
  std::filesystem::path root_;
  std::unique_ptr<SelfSignedCertificate> certificate_;
  bool tls_ = false;
  uint16_t port_ = 0;
  uint16_t redirectingPort_ = 0;
  pid_t pid_ = -1;
};

}  // namespace ombrelia::test
