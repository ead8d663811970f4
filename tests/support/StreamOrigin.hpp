#pragma once
// Test thread only.

#include <memory>
#include <string>
#include <vector>

namespace ombrelia::test {

class ChildProcess;

// A generated HLS stream served by nginx-light on 127.0.0.1 at a free port, through the same
// start-origin script the demo uses. Besides the
// files, "/redirect/<path>" answers 302 to "/<path>" and "/missing/<path>" answers 404.
class StreamOrigin {
 public:
  struct Settings {
    // An Authorization header value ("Basic ..."): every request without exactly it gets a 401.
    std::string requiredAuthorization{};
  };

  StreamOrigin(const std::string& documentRoot, Settings settings);
  explicit StreamOrigin(const std::string& documentRoot) : StreamOrigin(documentRoot, Settings{}) {}
  ~StreamOrigin();
  StreamOrigin(const StreamOrigin&) = delete;
  StreamOrigin& operator=(const StreamOrigin&) = delete;

  bool running() const { return port_ > 0; }
  int port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by the path, which starts with "/".
  std::string url(const std::string& path) const;
  // Access log lines: <client> "<request>" <status> <bytes> "<range>" "<user agent>", with a
  // line for every request whose answer has been received.
  std::vector<std::string> accessLog() const;

 private:
  std::vector<std::string> readAccessLog() const;

  mutable int marks_ = 0;
  std::string workDir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

// A TCP port on 127.0.0.1 that nothing listens on right now.
int freeLoopbackPort();

}  // namespace ombrelia::test
