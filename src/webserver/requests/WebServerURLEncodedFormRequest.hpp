#pragma once
// One connection's steps, then its handler: never used from two threads at once.

#include "webserver/requests/WebServerDataRequest.hpp"

namespace ombrelia {

// A request whose body is an "application/x-www-form-urlencoded" form.
class WebServerURLEncodedFormRequest : public WebServerDataRequest {
public:
  static constexpr const char *mimeType() { return "application/x-www-form-urlencoded"; }

  explicit WebServerURLEncodedFormRequest(WebServerRequestInfo info);

  // The form's items; filled when the body is closed.
  const WebServerQuery &arguments() const { return arguments_; }

  std::string description() const override;

protected:
  WebServerResult close() override;

private:
  WebServerQuery arguments_;
};

} // namespace ombrelia
