#include "webserver/requests/WebServerMIMEStreamParser.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/url/Utf8.hpp"
#include "webserver/core/WebServerFunctions.hpp"
#include "webserver/core/WebServerLog.hpp"
#include "webserver/requests/WebServerFileRequest.hpp"

namespace ombrelia {
namespace {

// RFC 2046: a boundary has 1 to 70 characters.
constexpr size_t kMaxBoundaryLength = 70;

bool writeWhole(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

} // namespace

std::unique_ptr<WebServerMIMEStreamParser>
WebServerMIMEStreamParser::create(std::string_view boundary,
                                  std::optional<std::string> defaultControlName,
                                  Arguments &arguments, Files &files, int depth) {
  if (boundary.empty() || boundary.size() > kMaxBoundaryLength || depth > kMaxDepth) {
    return nullptr;
  }
  return std::unique_ptr<WebServerMIMEStreamParser>(new WebServerMIMEStreamParser(
      std::string(boundary), std::move(defaultControlName), arguments, files, depth));
}

WebServerMIMEStreamParser::WebServerMIMEStreamParser(std::string boundary,
                                                     std::optional<std::string> defaultControlName,
                                                     Arguments &arguments, Files &files, int depth)
    : delimiter_("\r\n--" + boundary), defaultControlName_(std::move(defaultControlName)),
      arguments_(arguments), files_(files), depth_(depth),
      // A delimiter is CR LF "--" boundary; the first one may open the body, so the body is
      // read as if a CR LF preceded it.
      data_("\r\n") {}

WebServerMIMEStreamParser::~WebServerMIMEStreamParser() { discardTemporaryFile(); }

void WebServerMIMEStreamParser::discardTemporaryFile() {
  if (temporaryFile_ >= 0)
    ::close(temporaryFile_);
  temporaryFile_ = -1;
  // The file of an unfinished part is in no list, so nothing else would delete it.
  if (!temporaryPath_.empty())
    ::unlink(temporaryPath_.c_str());
  temporaryPath_.clear();
}

bool WebServerMIMEStreamParser::fail() {
  failed_ = true;
  discardTemporaryFile();
  subParser_.reset();
  return false;
}

bool WebServerMIMEStreamParser::appendBytes(const uint8_t *bytes, size_t length) {
  if (failed_)
    return false;
  if (state_ == State::end)
    return true; // the epilogue is ignored
  data_.append(reinterpret_cast<const char *>(bytes), length);
  return parse();
}

WebServerMIMEStreamParser::Delimiter WebServerMIMEStreamParser::findDelimiter(size_t &at,
                                                                              size_t &after) {
  for (;;) {
    const size_t position = data_.find(delimiter_, searchFrom_);
    if (position == std::string::npos)
      return Delimiter::notFound;
    at = position;
    size_t p = position + delimiter_.size();
    if (data_.size() - p < 2)
      return Delimiter::wait;
    if (data_.compare(p, 2, "--") == 0) {
      after = p + 2;
      return Delimiter::finalPart;
    }
    while (p < data_.size() && (data_[p] == ' ' || data_[p] == '\t') &&
           p - (position + delimiter_.size()) < kMaxTransportPadding) {
      ++p;
    }
    if (data_.size() - p < 2) {
      if (p - (position + delimiter_.size()) < kMaxTransportPadding)
        return Delimiter::wait;
    } else if (data_.compare(p, 2, "\r\n") == 0) {
      after = p + 2;
      return Delimiter::nextPart;
    }
    // The boundary text followed by anything else is part data: search on after it.
    searchFrom_ = position + 1;
  }
}

bool WebServerMIMEStreamParser::passOn(std::string_view data) {
  if (data.empty())
    return true;
  if (subParser_)
    return subParser_->appendBytes(data);
  if (temporaryFile_ >= 0) return writeWhole(temporaryFile_, data);
  return true; // the preamble
}

bool WebServerMIMEStreamParser::parse() {
  while (state_ != State::end) {
    if (state_ == State::headers) {
      if (!parseHeaders())
        return fail();
      if (state_ == State::headers)
        return true; // waiting for the blank line
      continue;
    }
    size_t at = 0;
    size_t after = 0;
    const Delimiter found = findDelimiter(at, after);
    if (found == Delimiter::notFound || found == Delimiter::wait) {
      // Everything before a possible delimiter is part data. Files, nested parts and the
      // preamble stream it out at once; an argument stays whole until its delimiter arrives.
      const size_t movable = found == Delimiter::wait
                                 ? at
                                 : data_.size() - std::min(data_.size(), delimiter_.size() - 1);
      if (state_ == State::start || subParser_ || temporaryFile_ >= 0) {
        if (!passOn(std::string_view(data_).substr(0, movable)))
          return fail();
        data_.erase(0, movable);
        searchFrom_ = 0;
      } else {
        if (movable > kMaxArgumentBytes)
          return fail();
        searchFrom_ = movable;
      }
      return true;
    }
    if (state_ == State::content) {
      if (!finishPart(std::string_view(data_).substr(0, at)))
        return fail();
    }
    data_.erase(0, after);
    searchFrom_ = 0;
    controlName_.reset();
    fileName_.reset();
    contentType_.clear();
    if (found == Delimiter::finalPart) {
      state_ = State::end;
      data_.clear();
      return true;
    }
    if (++parts_ > kMaxParts)
      return fail();
    state_ = State::headers;
  }
  return true;
}

bool WebServerMIMEStreamParser::parseHeaders() {
  size_t blockEnd;
  size_t consumed;
  if (data_.starts_with("\r\n")) {
    blockEnd = 0;
    consumed = 2;
  } else {
    const size_t end = data_.find("\r\n\r\n");
    if (end == std::string::npos)
      return data_.size() <= kMaxPartHeaderBytes;
    if (end > kMaxPartHeaderBytes)
      return false;
    blockEnd = end;
    consumed = end + 4;
  }
  const std::string_view block = std::string_view(data_).substr(0, blockEnd);
  if (!Utf8::isValid(block)) {
    if (WebServerShouldLog(kWebServerLogError)) {
      WebServerLogMessage(kWebServerLogError,
                          "Failed decoding headers in part of 'multipart/form-data'");
    }
    return false;
  }
  std::optional<std::string> contentType;
  size_t position = 0;
  while (position <= block.size() && !block.empty()) {
    size_t lineEnd = block.find("\r\n", position);
    if (lineEnd == std::string_view::npos)
      lineEnd = block.size();
    const std::string_view line = block.substr(position, lineEnd - position);
    position = lineEnd + 2;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos)
      continue;
    const std::string_view name = WebServerTrimWhitespace(line.substr(0, colon));
    const std::string_view value = WebServerTrimWhitespace(line.substr(colon + 1));
    if (WebServerCaseInsensitiveLess::equals(name, "Content-Type")) {
      contentType = WebServerNormalizeHeaderValue(value);
    } else if (WebServerCaseInsensitiveLess::equals(name, "Content-Disposition")) {
      const std::string disposition = *WebServerNormalizeHeaderValue(value);
      const std::string kind = *WebServerTruncateHeaderValue(disposition);
      if (kind == "form-data") {
        controlName_ = WebServerExtractHeaderValueParameter(disposition, "name");
        fileName_ = WebServerExtractHeaderValueParameter(disposition, "filename");
      } else if (kind == "file") {
        controlName_ = defaultControlName_;
        fileName_ = WebServerExtractHeaderValueParameter(disposition, "filename");
      }
    }
  }
  contentType_ = contentType.value_or("text/plain");
  if (!controlName_)
    return false;
  if (WebServerTruncateHeaderValue(contentType_) == "multipart/mixed") {
    const auto boundary = WebServerExtractHeaderValueParameter(contentType_, "boundary");
    if (!boundary)
      return false;
    subParser_ = create(*boundary, controlName_, arguments_, files_, depth_ + 1);
    if (!subParser_)
      return false;
  } else if (fileName_) {
    std::string pattern = WebServerFileRequest::temporaryDirectory() + "/WebServer-XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
      return false;
    temporaryFile_ = fd;
    temporaryPath_ = pattern;
  }
  data_.erase(0, consumed);
  searchFrom_ = 0;
  state_ = State::content;
  return true;
}

bool WebServerMIMEStreamParser::finishPart(std::string_view data) {
  if (subParser_) {
    // The nested body ends with the CR LF that belongs to our delimiter; it has its own final
    // delimiter before that.
    const bool ok =
        subParser_->appendBytes(data) && subParser_->appendBytes("\r\n") && subParser_->isAtEnd();
    subParser_.reset();
    return ok;
  }
  if (temporaryFile_ >= 0) {
    const bool written = writeWhole(temporaryFile_, data);
    const bool closed = ::close(temporaryFile_) == 0;
    temporaryFile_ = -1;
    if (!written || !closed)
      return false;
    files_.push_back(std::make_shared<WebServerMultiPartFile>(
        *controlName_, contentType_, fileName_.value_or(""), temporaryPath_));
    temporaryPath_.clear(); // the file object owns it now
    return true;
  }
  if (data.size() > kMaxArgumentBytes)
    return false;
  arguments_.push_back(std::make_shared<WebServerMultiPartArgument>(*controlName_, contentType_,
                                                                    Data(std::string(data))));
  return true;
}

} // namespace ombrelia
