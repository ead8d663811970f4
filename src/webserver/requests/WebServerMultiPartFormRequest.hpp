#pragma once
// One connection's steps, then its handler: never used from two threads at once.

#include <memory>
#include <string>

#include "webserver/requests/WebServerMIMEStreamParser.hpp"
#include "webserver/requests/WebServerRequest.hpp"

namespace ombrelia {

// A request whose body is a "multipart/form-data" form, parsed as it arrives.
class WebServerMultiPartFormRequest : public WebServerRequest {
public:
  static constexpr const char *mimeType() { return "multipart/form-data"; }

  explicit WebServerMultiPartFormRequest(WebServerRequestInfo info);
  ~WebServerMultiPartFormRequest() override;

  const WebServerMIMEStreamParser::Arguments &arguments() const { return arguments_; }
  const WebServerMIMEStreamParser::Files &files() const { return files_; }
  // The first argument or file, in body order, with that control name.
  std::shared_ptr<WebServerMultiPartArgument>
  firstArgumentForControlName(std::string_view name) const;
  std::shared_ptr<WebServerMultiPartFile> firstFileForControlName(std::string_view name) const;

  std::string description() const override;

protected:
  WebServerResult open() override;
  WebServerResult writeData(const uint8_t *bytes, size_t length) override;
  WebServerResult close() override;

private:
  WebServerMIMEStreamParser::Arguments arguments_;
  WebServerMIMEStreamParser::Files files_;
  std::unique_ptr<WebServerMIMEStreamParser> parser_;
};

} // namespace ombrelia
