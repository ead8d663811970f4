#pragma once
// One connection's steps, then its handler: never used from two threads at once.

#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include <ombrelia/Data.hpp>

#include "webserver/requests/WebServerRequest.hpp"

namespace ombrelia {

// A request whose body is kept in memory.
class WebServerDataRequest : public WebServerRequest {
public:
  // The buffer is reserved up front from the announced length only up to this: a client's
  // claim costs no memory until the bytes arrive.
  static constexpr size_t kMaxInitialReserve = 1024 * 1024;

  explicit WebServerDataRequest(WebServerRequestInfo info);
  ~WebServerDataRequest() override;

  // The body; complete once the body is closed.
  Data data() const;
  // The body as UTF-8 text for a "text/" type, decoded with its charset; absent for other
  // types or bytes that do not decode.
  const std::optional<std::string> &text() const;
  // The body parsed as JSON for "application/json", "text/json" or "text/javascript"; empty for
  // other types or invalid JSON.
  std::shared_ptr<const nlohmann::json> jsonObject() const;

  std::string description() const override;

protected:
  WebServerResult open() override;
  WebServerResult writeData(const uint8_t *bytes, size_t length) override;
  WebServerResult close() override;

private:
  std::string buffer_;
  Data data_;
  mutable bool textComputed_ = false;
  mutable std::optional<std::string> text_;
  mutable bool jsonComputed_ = false;
  mutable std::shared_ptr<const nlohmann::json> json_;
};

} // namespace ombrelia
