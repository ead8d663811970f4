#pragma once
// Built by a handler on any thread, then read by one connection's steps.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "webserver/core/WebServerFunctions.hpp"
#include "webserver/responses/WebServerResponse.hpp"

namespace ombrelia {

// A response that sends a regular file, or a byte range of it (status 206 with
// "Content-Range"). A file that shrinks while it is sent ends the body with an error.
class WebServerFileResponse : public WebServerResponse {
public:
  // Bytes read from the file per body read.
  static constexpr size_t kReadChunkBytes = 32 * 1024;

  enum class Failure {
    none,
    invalidPath,        // empty, or a NUL inside (a decoded "%00")
    notFound,           // missing or unreadable status
    notRegularFile,     // a directory, a device, a final symbolic link...
    unsatisfiableRange, // the range selects no byte of the file: answer 416
  };
  struct Creation {
    std::shared_ptr<WebServerFileResponse> response; // set exactly when failure is none
    Failure failure = Failure::none;
    uint64_t fileSize = 0; // known for unsatisfiableRange, for "Content-Range: bytes */size"
  };

  [[nodiscard]] static Creation
  create(const std::string &path, WebServerByteRange range = {}, bool isAttachment = false,
         const std::map<std::string, std::string> *overrides = nullptr);
  // The same, giving no response on any failure.
  [[nodiscard]] static std::shared_ptr<WebServerFileResponse>
  responseWithFile(const std::string &path, WebServerByteRange range = {},
                   bool isAttachment = false);

  ~WebServerFileResponse() override;

  const std::string &path() const { return path_; }
  std::string description() const override;

protected:
  WebServerResult open() override;
  void readData(WebServerReadCompletion completion) override;
  void close() override;

private:
  WebServerFileResponse(std::string path, uint64_t offset, uint64_t size);

  std::string path_;
  uint64_t offset_;
  uint64_t size_;
  int file_ = -1;
};

} // namespace ombrelia
