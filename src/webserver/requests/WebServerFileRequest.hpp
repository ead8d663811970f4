#pragma once
// One connection's steps, then its handler: never used from two threads at once.

#include <string>

#include "webserver/requests/WebServerRequest.hpp"

namespace ombrelia {

// A request whose body goes to a new temporary file (created with mkstemp, mode 0600). The file
// is deleted when the request is destroyed; a handler that keeps it moves it away first.
class WebServerFileRequest : public WebServerRequest {
public:
  explicit WebServerFileRequest(WebServerRequestInfo info);
  ~WebServerFileRequest() override;

  // Empty until the body is opened.
  const std::string &temporaryPath() const { return temporaryPath_; }

  std::string description() const override;

  // The folder for temporary files: $TMPDIR when set, else /tmp.
  static std::string temporaryDirectory();

protected:
  WebServerResult open() override;
  WebServerResult writeData(const uint8_t *bytes, size_t length) override;
  WebServerResult close() override;

private:
  int file_ = -1;
  uint64_t written_ = 0;
  std::string temporaryPath_;
};

} // namespace ombrelia
