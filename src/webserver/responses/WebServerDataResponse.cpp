#include "webserver/responses/WebServerDataResponse.hpp"

#include <nlohmann/json.hpp>

#include <fstream>
#include <iterator>

#include "platform/url/Utf8.hpp"
#include "webserver/core/WebServerFunctions.hpp"

namespace ombrelia {

WebServerDataResponse::WebServerDataResponse(Data data, std::string contentType) {
  setData(std::move(data), std::move(contentType));
}

void WebServerDataResponse::setData(Data data, std::string contentType) {
  data_ = std::move(data);
  done_ = false;
  setContentType(std::move(contentType));
  setContentLength(data_.size());
}

std::shared_ptr<WebServerDataResponse>
WebServerDataResponse::responseWithData(Data data, std::string contentType) {
  return std::make_shared<WebServerDataResponse>(std::move(data), std::move(contentType));
}

std::shared_ptr<WebServerDataResponse>
WebServerDataResponse::responseWithStatusCode(int statusCode) {
  auto response = std::make_shared<WebServerDataResponse>();
  response->setStatusCode(statusCode);
  return response;
}

std::shared_ptr<WebServerDataResponse> WebServerDataResponse::responseWithText(std::string text) {
  return responseWithData(Data(std::move(text)), "text/plain; charset=utf-8");
}

std::shared_ptr<WebServerDataResponse> WebServerDataResponse::responseWithHTML(std::string html) {
  return responseWithData(Data(std::move(html)), "text/html; charset=utf-8");
}

std::shared_ptr<WebServerDataResponse> WebServerDataResponse::responseWithHTMLTemplate(
    const std::string &path, const std::map<std::string, std::string> &variables) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return nullptr;
  std::string html((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!Utf8::isValid(html))
    return nullptr;
  for (const auto &[key, value] : variables) {
    const std::string placeholder = "%" + key + "%";
    size_t pos = 0;
    while ((pos = html.find(placeholder, pos)) != std::string::npos) {
      html.replace(pos, placeholder.size(), value);
      pos += value.size();
    }
  }
  return responseWithHTML(std::move(html));
}

std::shared_ptr<WebServerDataResponse>
WebServerDataResponse::responseWithJSONObject(const nlohmann::json &object,
                                              std::string contentType) {
  // Invalid UTF-8 inside the object is replaced rather than thrown.
  std::string text = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return responseWithData(Data(std::move(text)), std::move(contentType));
}

void WebServerDataResponse::readData(WebServerReadCompletion completion) {
  if (done_) {
    completion(WebServerReadResult::end());
    return;
  }
  done_ = true;
  completion(WebServerReadResult::success(data_));
}

std::string WebServerDataResponse::description() const {
  return WebServerResponse::description() + "\n\n" +
         WebServerDescribeData(data_.view(), contentType().value_or(""));
}

} // namespace ombrelia
