#include "webserver/requests/WebServerFileRequest.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace ombrelia {

WebServerFileRequest::WebServerFileRequest(WebServerRequestInfo info)
    : WebServerRequest(std::move(info)) {}

WebServerFileRequest::~WebServerFileRequest() {
  if (file_ >= 0)
    ::close(file_);
  if (!temporaryPath_.empty())
    ::unlink(temporaryPath_.c_str());
}

std::string WebServerFileRequest::temporaryDirectory() {
  const char *dir = std::getenv("TMPDIR");
  std::string path = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  return path;
}

WebServerResult WebServerFileRequest::open() {
  if (file_ >= 0)
    return WebServerMakeError(kWebServerErrorGeneric, "Request body opened twice");
  std::string pattern = temporaryDirectory() + "/WebServer-XXXXXX";
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  // mkstemp creates the file exclusively with mode 0600: nobody else can read or replace it.
  const int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0)
    return WebServerMakePosixError(errno);
  file_ = fd;
  temporaryPath_ = path.data();
  return {};
}

WebServerResult WebServerFileRequest::writeData(const uint8_t *bytes, size_t length) {
  if (file_ < 0)
    return WebServerMakePosixError(EBADF);
  if (written_ + length > maxBodyBytes()) {
    return WebServerMakeError(kWebServerErrorBodyTooLarge, "Request body too large");
  }
  while (length > 0) {
    const ssize_t result = ::write(file_, bytes, length);
    if (result < 0) {
      if (errno == EINTR)
        continue;
      return WebServerMakePosixError(errno);
    }
    if (result == 0)
      return WebServerMakePosixError(EIO);
    bytes += result;
    length -= static_cast<size_t>(result);
    written_ += static_cast<uint64_t>(result);
  }
  return {};
}

WebServerResult WebServerFileRequest::close() {
  if (file_ < 0)
    return WebServerMakePosixError(EBADF);
  const int fd = file_;
  file_ = -1;
  if (::close(fd) != 0)
    return WebServerMakePosixError(errno);
  return {};
}

std::string WebServerFileRequest::description() const {
  return WebServerRequest::description() + "\n\n{" + temporaryPath_ + "}";
}

} // namespace ombrelia
