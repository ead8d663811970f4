#pragma once
// Any thread: a value.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ombrelia::test {

// A response as it came off the wire, split into status, headers (in order) and body; a chunked
// body is decoded.
struct RawHttpResponse {
  int status = 0;
  std::string statusLine;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool chunked = false;

  // Absent when the text holds no complete head (or a chunked body does not decode).
  static std::optional<RawHttpResponse> parse(std::string_view text);
  // The first header of that name (case-insensitive).
  std::optional<std::string> header(std::string_view name) const;
};

} // namespace ombrelia::test
