#include "playlist/fetcher/PlaylistFetcherError.hpp"

#include <utility>

namespace ombrelia {

PlaylistFetcherError PlaylistFetcherError::error(AnyError underlying) {
  PlaylistFetcherError value(Kind::error);
  value.underlying_ = std::move(underlying);
  return value;
}

PlaylistFetcherError PlaylistFetcherError::statusCode(int64_t code) {
  PlaylistFetcherError value(Kind::statusCode);
  value.code_ = code;
  return value;
}

std::string PlaylistFetcherError::localizedDescription() const {
  switch (kind_) {
  case Kind::error:
    return "received an error with description: " +
           (underlying_ ? underlying_->localizedDescription() : std::string());
  case Kind::statusCode:
    return "request failed with status code of: " + std::to_string(code_);
  case Kind::noData:
    return "request succeeded, but received empty data";
  case Kind::invalidData:
    return "request received data is different from expected type";
  case Kind::timeout:
    return "request was timed out";
  }
  return {};
}

} // namespace ombrelia
