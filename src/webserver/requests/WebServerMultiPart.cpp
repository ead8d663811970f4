#include "webserver/requests/WebServerMultiPart.hpp"

#include <unistd.h>

#include "webserver/core/WebServerFunctions.hpp"

namespace ombrelia {

WebServerMultiPart::WebServerMultiPart(std::string controlName, std::string contentType)
    : controlName_(std::move(controlName)), contentType_(std::move(contentType)),
      mimeType_(*WebServerTruncateHeaderValue(contentType_)) {}

WebServerMultiPartArgument::WebServerMultiPartArgument(std::string controlName,
                                                       std::string contentType, Data data)
    : WebServerMultiPart(std::move(controlName), std::move(contentType)), data_(std::move(data)) {
  if (this->contentType().starts_with("text/")) {
    const auto charset = WebServerExtractHeaderValueParameter(this->contentType(), "charset");
    string_ = WebServerDecodeText(data_.view(), WebServerStringEncodingFromCharset(charset));
  }
}

std::string WebServerMultiPartArgument::description() const {
  return "<WebServerMultiPartArgument | '" + mimeType() + "' | " + std::to_string(data_.size()) +
         " bytes>";
}

WebServerMultiPartFile::WebServerMultiPartFile(std::string controlName, std::string contentType,
                                               std::string fileName, std::string temporaryPath)
    : WebServerMultiPart(std::move(controlName), std::move(contentType)),
      fileName_(std::move(fileName)), temporaryPath_(std::move(temporaryPath)) {}

WebServerMultiPartFile::~WebServerMultiPartFile() { ::unlink(temporaryPath_.c_str()); }

std::string WebServerMultiPartFile::description() const {
  return "<WebServerMultiPartFile | '" + mimeType() + "' | '" + fileName_ + ">'";
}

} // namespace ombrelia
