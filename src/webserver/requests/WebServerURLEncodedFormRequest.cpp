#include "webserver/requests/WebServerURLEncodedFormRequest.hpp"

namespace ombrelia {

WebServerURLEncodedFormRequest::WebServerURLEncodedFormRequest(WebServerRequestInfo info)
    : WebServerDataRequest(std::move(info)) {}

WebServerResult WebServerURLEncodedFormRequest::close() {
  if (auto closed = WebServerDataRequest::close(); !closed)
    return closed;
  const auto charset = WebServerExtractHeaderValueParameter(contentType().value_or(""), "charset");
  const auto text = WebServerDecodeText(data().view(), WebServerStringEncodingFromCharset(charset));
  if (!text) {
    return WebServerMakeError(kWebServerErrorGeneric, "Form body is not valid text");
  }
  arguments_ = WebServerParseURLEncodedForm(*text);
  return {};
}

std::string WebServerURLEncodedFormRequest::description() const {
  std::string text = WebServerDataRequest::description() + "\n";
  for (const auto &[name, value] : arguments_)
    text += "\n" + name + " = " + value;
  return text;
}

} // namespace ombrelia
