#include "webserver/requests/WebServerMultiPartFormRequest.hpp"

namespace ombrelia {

WebServerMultiPartFormRequest::WebServerMultiPartFormRequest(WebServerRequestInfo info)
    : WebServerRequest(std::move(info)) {}

// Destroying the parser first deletes the temporary file of an unfinished part.
WebServerMultiPartFormRequest::~WebServerMultiPartFormRequest() { parser_.reset(); }

WebServerResult WebServerMultiPartFormRequest::open() {
  const auto boundary =
      WebServerExtractHeaderValueParameter(contentType().value_or(""), "boundary");
  if (boundary) {
    parser_ = WebServerMIMEStreamParser::create(*boundary, std::nullopt, arguments_, files_);
  }
  if (!parser_) {
    return WebServerMakeError(kWebServerErrorGeneric,
                              "Failed starting to parse multipart form data");
  }
  return {};
}

WebServerResult WebServerMultiPartFormRequest::writeData(const uint8_t *bytes, size_t length) {
  if (!parser_ || !parser_->appendBytes(bytes, length)) {
    return WebServerMakeError(kWebServerErrorGeneric,
                              "Failed continuing to parse multipart form data");
  }
  return {};
}

WebServerResult WebServerMultiPartFormRequest::close() {
  const bool complete = parser_ && parser_->isAtEnd();
  parser_.reset();
  if (!complete) {
    return WebServerMakeError(kWebServerErrorGeneric,
                              "Failed finishing to parse multipart form data");
  }
  return {};
}

std::shared_ptr<WebServerMultiPartArgument>
WebServerMultiPartFormRequest::firstArgumentForControlName(std::string_view name) const {
  for (const auto &argument : arguments_) {
    if (argument->controlName() == name)
      return argument;
  }
  return nullptr;
}

std::shared_ptr<WebServerMultiPartFile>
WebServerMultiPartFormRequest::firstFileForControlName(std::string_view name) const {
  for (const auto &file : files_) {
    if (file->controlName() == name)
      return file;
  }
  return nullptr;
}

std::string WebServerMultiPartFormRequest::description() const {
  std::string text = WebServerRequest::description() + "\n";
  for (const auto &argument : arguments_) {
    text += "\n" + argument->controlName() + " (" + argument->contentType() + ")\n" +
            WebServerDescribeData(argument->data().view(), argument->contentType());
  }
  text += "\n";
  for (const auto &file : files_) {
    text += "\n" + file->controlName() + " (" + file->contentType() + "): " + file->fileName() +
            "\n{" + file->temporaryPath() + "}";
  }
  return text;
}

} // namespace ombrelia
