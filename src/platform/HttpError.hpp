#pragma once
// Any thread: a value type.

#include <string>

namespace ombrelia::platform {

// Why a transfer produced no response.
enum class HttpErrorCause {
  badURL,
  unsupportedURL,  // a scheme other than http and https, redirects included
  cannotFindHost,
  cannotConnectToHost,
  timedOut,  // the request's time, the connect time, the silence limit or a minimum rate ran out
  networkConnectionLost,
  tooManyRedirects,
  badServerResponse,
  cannotDecodeContentData,
  dataLengthExceedsMaximum,  // the body passed the request's cap
  secureConnectionFailed,
  serverCertificateUntrusted,
  cancelled,
  unknown,
};

struct HttpError {
  HttpErrorCause cause = HttpErrorCause::unknown;
  std::string message;

  // The URL-loading error number of the cause (-1004 for a refused connection, -1001 for a
  // time-out, ...): the analytics backend counts failures under these codes.
  int code() const;
};

}  // namespace ombrelia::platform
