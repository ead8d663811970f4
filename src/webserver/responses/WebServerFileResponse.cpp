#include "webserver/responses/WebServerFileResponse.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "webserver/core/WebServerLog.hpp"

namespace ombrelia {
namespace {

std::string lastPathComponent(const std::string &path) {
  std::string_view view = path;
  while (view.size() > 1 && view.back() == '/')
    view.remove_suffix(1);
  const size_t slash = view.rfind('/');
  return std::string(slash == std::string_view::npos ? view : view.substr(slash + 1));
}

std::string pathExtension(const std::string &path) {
  const std::string last = lastPathComponent(path);
  const size_t dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0)
    return {};
  return last.substr(dot + 1);
}

// The name for the quoted "filename" parameter: ISO Latin-1 (the header's historical charset),
// characters outside it as "?", and no quote, backslash or control character that could end the
// parameter or the header.
std::string latin1FileName(const std::string &utf8) {
  std::string result;
  size_t i = 0;
  while (i < utf8.size()) {
    const auto c = static_cast<uint8_t>(utf8[i]);
    uint32_t code = c;
    size_t length = 1;
    if (c >= 0xC0 && c < 0xE0 && i + 1 < utf8.size()) {
      code = ((c & 0x1Fu) << 6) | (static_cast<uint8_t>(utf8[i + 1]) & 0x3Fu);
      length = 2;
    } else if (c >= 0xE0 && c < 0xF0) {
      length = 3;
      code = 0x10000; // outside Latin-1
    } else if (c >= 0xF0) {
      length = 4;
      code = 0x10000;
    }
    i += length;
    if (code < 0x20 || code == 0x7F || (code >= 0x80 && code < 0xA0) || code == '"' ||
        code == '\\') {
      continue;
    }
    result.push_back(code <= 0xFF ? static_cast<char>(code) : '?');
  }
  return result;
}

std::string withoutControlCharacters(const std::string &text) {
  std::string result;
  for (char c : text) {
    const auto u = static_cast<uint8_t>(c);
    if (u < 0x20 || u == 0x7F || c == '"')
      continue;
    result.push_back(c);
  }
  return result;
}

} // namespace

WebServerFileResponse::WebServerFileResponse(std::string path, uint64_t offset, uint64_t size)
    : path_(std::move(path)), offset_(offset), size_(size) {}

WebServerFileResponse::~WebServerFileResponse() {
  if (file_ >= 0)
    ::close(file_);
}

WebServerFileResponse::Creation
WebServerFileResponse::create(const std::string &path, WebServerByteRange range, bool isAttachment,
                              const std::map<std::string, std::string> *overrides) {
  Creation creation;
  if (path.empty() || path.find('\0') != std::string::npos) {
    creation.failure = Failure::invalidPath;
    return creation;
  }
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    creation.failure = Failure::notFound;
    return creation;
  }
  if (!S_ISREG(info.st_mode)) {
    creation.failure = Failure::notRegularFile;
    return creation;
  }
  const auto fileSize = static_cast<uint64_t>(info.st_size);
  creation.fileSize = fileSize;

  const bool hasRange = WebServerIsValidByteRange(range);
  uint64_t location = 0;
  uint64_t length = fileSize;
  if (hasRange) {
    if (range.location != kWebServerNoLocation) {
      location = std::min(range.location, fileSize);
      length = std::min(range.length, fileSize - location);
    } else {
      length = std::min(range.length, fileSize);
      location = fileSize - length;
    }
    if (length == 0) {
      creation.failure = Failure::unsatisfiableRange;
      return creation;
    }
  }

  auto response =
      std::shared_ptr<WebServerFileResponse>(new WebServerFileResponse(path, location, length));
  if (hasRange) {
    response->setStatusCode(206);
    response->setValueForAdditionalHeader("Content-Range",
                                          "bytes " + std::to_string(location) + "-" +
                                              std::to_string(location + length - 1) + "/" +
                                              std::to_string(fileSize));
    if (WebServerShouldLog(kWebServerLogDebug)) {
      WebServerLogMessage(kWebServerLogDebug,
                          "Using content bytes range [%llu-%llu] for file \"%s\"",
                          static_cast<unsigned long long>(location),
                          static_cast<unsigned long long>(location + length - 1), path.c_str());
    }
  }
  if (isAttachment) {
    const std::string name = withoutControlCharacters(lastPathComponent(path));
    response->setValueForAdditionalHeader(
        "Content-Disposition", "attachment; filename=\"" + latin1FileName(name) +
                                   "\"; filename*=UTF-8''" + WebServerEscapeURLString(name));
  }
  response->setContentType(WebServerGetMimeTypeForExtension(pathExtension(path), overrides));
  response->setContentLength(length);
  response->setLastModifiedDate(WebServerDate(std::chrono::duration_cast<WebServerDate::duration>(
      std::chrono::seconds(info.st_mtim.tv_sec) + std::chrono::nanoseconds(info.st_mtim.tv_nsec))));
  response->setETag(std::to_string(static_cast<unsigned long long>(info.st_ino)) + "/" +
                    std::to_string(static_cast<long long>(info.st_mtim.tv_sec)) + "/" +
                    std::to_string(static_cast<long long>(info.st_mtim.tv_nsec)));
  creation.response = std::move(response);
  return creation;
}

std::shared_ptr<WebServerFileResponse>
WebServerFileResponse::responseWithFile(const std::string &path, WebServerByteRange range,
                                        bool isAttachment) {
  return create(path, range, isAttachment).response;
}

WebServerResult WebServerFileResponse::open() {
  const int fd = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return WebServerMakePosixError(errno);
  if (offset_ != 0 && ::lseek(fd, static_cast<off_t>(offset_), SEEK_SET) < 0) {
    const int error = errno;
    ::close(fd);
    return WebServerMakePosixError(error);
  }
  file_ = fd;
  return {};
}

void WebServerFileResponse::readData(WebServerReadCompletion completion) {
  if (size_ == 0) {
    completion(WebServerReadResult::end());
    return;
  }
  if (file_ < 0) {
    completion(WebServerReadResult::failure(WebServerMakePosixError(EBADF)));
    return;
  }
  std::string buffer(static_cast<size_t>(std::min<uint64_t>(kReadChunkBytes, size_)), '\0');
  ssize_t result;
  do {
    result = ::read(file_, buffer.data(), buffer.size());
  } while (result < 0 && errno == EINTR);
  if (result < 0) {
    completion(WebServerReadResult::failure(WebServerMakePosixError(errno)));
    return;
  }
  if (result == 0) {
    // The file is shorter than when the head announced its length: the body cannot be
    // completed, and ending it quietly would pass a truncated file off as whole.
    completion(WebServerReadResult::failure(
        WebServerMakeError(kWebServerErrorGeneric, "File shrank while being sent")));
    return;
  }
  buffer.resize(static_cast<size_t>(result));
  size_ -= static_cast<uint64_t>(result);
  completion(WebServerReadResult::success(Data(std::move(buffer))));
}

void WebServerFileResponse::close() {
  if (file_ >= 0) {
    ::close(file_);
    file_ = -1;
  }
}

std::string WebServerFileResponse::description() const {
  return WebServerResponse::description() + "\n\n{" + path_ + "}";
}

} // namespace ombrelia
