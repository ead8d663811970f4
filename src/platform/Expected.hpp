#pragma once
// Any thread: a value type.

#include <cstddef>
#include <utility>
#include <variant>

namespace ombrelia {

// A value or the error that prevented it: the library's one result type. Parsers, the HTTP
// client and the playlist fetcher return it instead of throwing, since nothing read from the
// network may throw through the library; the named results of those layers (HttpResult, the
// fetcher's Result, the playlist manager's Result) are this template over their own errors.
template <typename T, typename E>
class Expected {
 public:
  Expected(T value) : storage_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Expected(E error) : storage_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  // The same as the constructors, named for call sites where a value and an error could be
  // mistaken for one another.
  static Expected success(T value) { return Expected(std::move(value)); }
  static Expected failure(E error) { return Expected(std::move(error)); }

  bool hasValue() const { return storage_.index() == 0; }
  explicit operator bool() const { return hasValue(); }

  // Only with a value (error() only without one): checked by the variant, never undefined.
  T& value() & { return std::get<0>(storage_); }
  const T& value() const& { return std::get<0>(storage_); }
  T&& value() && { return std::get<0>(std::move(storage_)); }
  const E& error() const { return std::get<1>(storage_); }

  // Null unless a value, and null unless an error: for callers that branch on either.
  const T* valueIf() const { return std::get_if<0>(&storage_); }
  const E* errorIf() const { return std::get_if<1>(&storage_); }

  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, E> storage_;
};

}  // namespace ombrelia
