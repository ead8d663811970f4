#pragma once
// Any thread: stateless.

#include <string>
#include <string_view>

namespace ombrelia::platform {

// A URL's text as a log line may show it. Logs are read by people and tools that take a URL as
// either libcurl or a browser does, so a user name or password that either finds in it must not
// be there.
class LoggedUrl {
 public:
  LoggedUrl() = delete;

  // The text itself when neither libcurl nor the URL standard finds a user name or password in
  // it, else only its length: "a URL of 60123 bytes".
  static std::string of(std::string_view text);
};

}  // namespace ombrelia::platform
