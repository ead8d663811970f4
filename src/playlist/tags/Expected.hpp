#pragma once
// Any thread: a value type.

#include <utility>
#include <variant>

namespace ombrelia {

// A value or the error that prevented it. Parsers return it instead of throwing: nothing read
// from the network may throw through the library.
template <typename T, typename E>
class Expected {
 public:
  Expected(T value) : storage_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Expected(E error) : storage_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool hasValue() const { return storage_.index() == 0; }
  explicit operator bool() const { return hasValue(); }

  T& value() & { return std::get<0>(storage_); }
  const T& value() const& { return std::get<0>(storage_); }
  T&& value() && { return std::get<0>(std::move(storage_)); }
  const E& error() const { return std::get<1>(storage_); }

  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, E> storage_;
};

}  // namespace ombrelia
