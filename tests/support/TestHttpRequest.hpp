#pragma once
// Any thread: a value type.

#include <map>
#include <optional>
#include <string>

namespace ombrelia::test {

// A request as the test HTTP server received it.
struct TestHttpRequest {
  std::string method;
  std::string target;                          // as sent: path and query
  std::string path;                            // the target without its query
  std::map<std::string, std::string> headers;  // names in lower case

  std::optional<std::string> header(const std::string& lowerCaseName) const {
    auto found = headers.find(lowerCaseName);
    if (found == headers.end())
      return std::nullopt;
    return found->second;
  }
};

}  // namespace ombrelia::test
