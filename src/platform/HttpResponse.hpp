#pragma once
// Any thread: a value type.

#include <cstddef>
#include <optional>
#include <string>

#include <ombrelia/Data.hpp>

namespace ombrelia::platform {

// What the origin answered, whatever the status: a 404 page is a response, not an error.
struct HttpResponse {
  int statusCode = 0;
  // The URL that answered, after redirects.
  std::string url;
  // The Content-Type's media type in lower case, without its parameters except for a multipart
  // type, whose boundary is needed to read the body; absent when the origin sent none.
  std::optional<std::string> mimeType;
  std::optional<std::string> contentRange;
  Data body;
  // Body bytes that arrived from the origin, whether or not `body` kept them: a streamed body
  // given up under pressure reaches its player whole but completes empty.
  size_t bodyBytesReceived = 0;
};

}  // namespace ombrelia::platform
