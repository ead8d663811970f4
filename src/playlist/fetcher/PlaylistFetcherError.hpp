#pragma once
// Any thread: a value type.

#include <cstdint>
#include <optional>
#include <string>

#include "playlist/fetcher/AnyError.hpp"

namespace ombrelia {

// Why a playlist fetch gave no text. The descriptions are shown to integrators as they are.
class PlaylistFetcherError {
public:
  enum class Kind { error, statusCode, noData, invalidData, timeout };

  // The transfer itself failed with `underlying`.
  static PlaylistFetcherError error(AnyError underlying);
  // The answer's status was not 2xx; -1 when the answer was not an HTTP response.
  static PlaylistFetcherError statusCode(int64_t code);
  static PlaylistFetcherError noData() { return PlaylistFetcherError(Kind::noData); }
  static PlaylistFetcherError invalidData() { return PlaylistFetcherError(Kind::invalidData); }
  static PlaylistFetcherError timeout() { return PlaylistFetcherError(Kind::timeout); }

  Kind kind() const { return kind_; }
  // Only for Kind::error.
  const std::optional<AnyError>& underlyingError() const { return underlying_; }
  // Only for Kind::statusCode.
  int64_t code() const { return code_; }

  std::string localizedDescription() const;

private:
  explicit PlaylistFetcherError(Kind kind) : kind_(kind) {}

  Kind kind_;
  std::optional<AnyError> underlying_;
  int64_t code_ = 0;
};

} // namespace ombrelia
