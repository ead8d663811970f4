#pragma once
// Any thread: a value type.

#include <optional>
#include <utility>
#include <variant>

#include "playlist/fetcher/AnyError.hpp"

namespace ombrelia {

// The outcome of a playlist fetch: a value, or a failure with the error that caused it (the
// fetcher always gives one; a fetcher of the caller's own may not).
template <typename T> class Result {
public:
  struct Failure {
    std::optional<AnyError> error;
  };

  static Result success(T value) { return Result(std::move(value)); }
  static Result failure(std::optional<AnyError> error) { return Result(Failure{std::move(error)}); }

  bool isSuccess() const { return storage_.index() == 0; }
  // Null on failure.
  const T* value() const { return std::get_if<0>(&storage_); }
  // Absent on success, and on a failure that came without an error.
  std::optional<AnyError> error() const {
    if (const auto* failure = std::get_if<1>(&storage_))
      return failure->error;
    return std::nullopt;
  }

private:
  explicit Result(T value) : storage_(std::in_place_index<0>, std::move(value)) {}
  explicit Result(Failure failure) : storage_(std::in_place_index<1>, std::move(failure)) {}

  std::variant<T, Failure> storage_;
};

} // namespace ombrelia
