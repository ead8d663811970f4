#pragma once
// Any thread: a value type.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include <ombrelia/Url.hpp>

namespace ombrelia::platform {

// One GET to the origin. Unset limits take the client's settings.
struct HttpRequest {
  Url url;
  // The value of a Range header ("bytes=0-1023"), sent as given.
  std::optional<std::string> range;
  // The whole transfer, connection and redirects included.
  std::optional<std::chrono::milliseconds> timeout;
  std::optional<size_t> maxBodyBytes;
};

}  // namespace ombrelia::platform
