#include "support/RawHttpResponse.hpp"

#include <strings.h>

#include <cstdlib>

namespace ombrelia::test {

std::optional<RawHttpResponse> RawHttpResponse::parse(std::string_view text) {
  const size_t end = text.find("\r\n\r\n");
  if (end == std::string_view::npos)
    return std::nullopt;
  RawHttpResponse response;
  std::string_view head = text.substr(0, end + 2);
  size_t lineEnd = head.find("\r\n");
  response.statusLine = std::string(head.substr(0, lineEnd));
  if (response.statusLine.size() < 12)
    return std::nullopt;
  response.status = std::atoi(response.statusLine.substr(9, 3).c_str());
  size_t position = lineEnd + 2;
  while (position < head.size()) {
    lineEnd = head.find("\r\n", position);
    const std::string_view line = head.substr(position, lineEnd - position);
    position = lineEnd + 2;
    const size_t colon = line.find(": ");
    if (colon == std::string_view::npos)
      return std::nullopt;
    response.headers.emplace_back(std::string(line.substr(0, colon)),
                                  std::string(line.substr(colon + 2)));
  }
  std::string_view body = text.substr(end + 4);
  response.chunked = response.header("Transfer-Encoding") == "chunked";
  if (!response.chunked) {
    response.body = std::string(body);
    return response;
  }
  for (;;) {
    const size_t sizeEnd = body.find("\r\n");
    if (sizeEnd == std::string_view::npos)
      return std::nullopt;
    const size_t size = std::strtoul(std::string(body.substr(0, sizeEnd)).c_str(), nullptr, 16);
    body.remove_prefix(sizeEnd + 2);
    if (size == 0)
      break;
    if (body.size() < size + 2)
      return std::nullopt;
    response.body.append(body.substr(0, size));
    body.remove_prefix(size + 2);
  }
  return response;
}

std::optional<std::string> RawHttpResponse::header(std::string_view name) const {
  for (const auto &[key, value] : headers) {
    if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), name.size()) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

} // namespace ombrelia::test
