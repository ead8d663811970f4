#pragma once
// Built by a handler on any thread, then read by one connection's steps.

#include <map>
#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include <ombrelia/Data.hpp>

#include "webserver/responses/WebServerResponse.hpp"

namespace ombrelia {

// A response whose body is held in memory. The bytes are shared, never copied on the way out.
class WebServerDataResponse : public WebServerResponse {
public:
  WebServerDataResponse() = default;
  WebServerDataResponse(Data data, std::string contentType);

  [[nodiscard]] static std::shared_ptr<WebServerDataResponse>
  responseWithData(Data data, std::string contentType);
  // Status only, no body (like the base class).
  [[nodiscard]] static std::shared_ptr<WebServerDataResponse>
  responseWithStatusCode(int statusCode);
  // "text/plain; charset=utf-8".
  [[nodiscard]] static std::shared_ptr<WebServerDataResponse> responseWithText(std::string text);
  // "text/html; charset=utf-8".
  [[nodiscard]] static std::shared_ptr<WebServerDataResponse> responseWithHTML(std::string html);
  // The UTF-8 file at `path` with every "%key%" replaced by its value; empty when the file
  // cannot be read.
  [[nodiscard]] static std::shared_ptr<WebServerDataResponse>
  responseWithHTMLTemplate(const std::string &path,
                           const std::map<std::string, std::string> &variables);
  // The object as JSON, "application/json" unless another type is given.
  [[nodiscard]] static std::shared_ptr<WebServerDataResponse>
  responseWithJSONObject(const nlohmann::json &object,
                         std::string contentType = "application/json");

  const Data &data() const { return data_; }

  std::string description() const override;

protected:
  // For subclasses that build their body after construction.
  void setData(Data data, std::string contentType);
  void readData(WebServerReadCompletion completion) override;

private:
  Data data_;
  bool done_ = false;
};

} // namespace ombrelia
