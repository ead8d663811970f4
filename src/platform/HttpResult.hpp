#pragma once
// Any thread: a value type.

#include "platform/Expected.hpp"
#include "platform/HttpError.hpp"
#include "platform/HttpResponse.hpp"

namespace ombrelia::platform {

// A response or the error that prevented one. An error status (404) is a response.
using HttpResult = Expected<HttpResponse, HttpError>;

}  // namespace ombrelia::platform
