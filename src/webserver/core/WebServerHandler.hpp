#pragma once
// Any thread: a handler is immutable once made; its callbacks run on the server's threads.

#include <functional>
#include <memory>

#include "webserver/requests/WebServerRequest.hpp"
#include "webserver/responses/WebServerResponse.hpp"

namespace ombrelia {

// Called once with the response, or with none for a 500. It may be called from any thread
// and never blocks; a second call is ignored, and dropping it uncalled answers 500.
using WebServerCompletionBlock = std::function<void(std::shared_ptr<WebServerResponse> response)>;
// Turns the matched values into a request, or gives none when the handler does not match.
using WebServerMatchBlock =
    std::function<std::shared_ptr<WebServerRequest>(const WebServerRequestInfo &info)>;
using WebServerProcessBlock = std::function<std::shared_ptr<WebServerResponse>(
    const std::shared_ptr<WebServerRequest> &request)>;
using WebServerAsyncProcessBlock = std::function<void(
    const std::shared_ptr<WebServerRequest> &request, WebServerCompletionBlock completion)>;

struct WebServerHandler {
  WebServerMatchBlock matchBlock;
  WebServerAsyncProcessBlock asyncProcessBlock;
};

} // namespace ombrelia
