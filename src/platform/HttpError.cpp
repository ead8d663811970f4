#include "platform/HttpError.hpp"

namespace ombrelia::platform {

int HttpError::code() const {
  switch (cause) {
    case HttpErrorCause::badURL:
      return -1000;
    case HttpErrorCause::unsupportedURL:
      return -1002;
    case HttpErrorCause::cannotFindHost:
      return -1003;
    case HttpErrorCause::cannotConnectToHost:
      return -1004;
    case HttpErrorCause::timedOut:
      return -1001;
    case HttpErrorCause::networkConnectionLost:
      return -1005;
    case HttpErrorCause::tooManyRedirects:
      return -1007;
    case HttpErrorCause::badServerResponse:
      return -1011;
    case HttpErrorCause::cannotDecodeContentData:
      return -1016;
    case HttpErrorCause::dataLengthExceedsMaximum:
      return -1103;
    case HttpErrorCause::secureConnectionFailed:
      return -1200;
    case HttpErrorCause::serverCertificateUntrusted:
      return -1202;
    case HttpErrorCause::cancelled:
      return -999;
    case HttpErrorCause::unknown:
      return -1;
  }
  return -1;
}

}  // namespace ombrelia::platform
