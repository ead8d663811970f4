#pragma once
// Any thread: an immutable value type.

#include <concepts>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/HttpError.hpp"

namespace ombrelia {

namespace detail {
// Outside AnyError, whose own member of this name would hide the free functions from lookup;
// they are found by argument-dependent lookup.
template <typename E>
concept HasFreeDescription = requires(const E& error) {
  { localizedDescription(error) } -> std::convertible_to<std::string>;
};
template <typename E>
concept HasLocalizedDescription = requires(const E& error) {
  { error.localizedDescription() } -> std::convertible_to<std::string>;
};
template <typename E>
concept HasErrorDescription = requires(const E& error) {
  { error.errorDescription() } -> std::convertible_to<std::string>;
};
template <HasFreeDescription E> std::string describeError(const E& error) {
  return localizedDescription(error);
}
} // namespace detail

class AnyError;

// An error type of this system: one that can describe itself to an integrator (AnyError, which
// wraps them, is not one of them).
template <typename E>
concept DescribableError = !std::same_as<E, AnyError> &&
                           (std::same_as<E, platform::HttpError> || detail::HasFreeDescription<E> ||
                            detail::HasLocalizedDescription<E> || detail::HasErrorDescription<E>);

// Any of the playlist layer's errors (a fetch error, the HTTP client's error, a parse error, the
// manager's own), kept with its type so a caller can ask for it back, and described as the
// integrator sees it.
class AnyError {
public:
  template <DescribableError E>
  AnyError(E error) // NOLINT: implicit, like the errors it stands for
      : model_(std::make_shared<const Model<E>>(std::move(error))) {}

  // The text shown to integrators.
  std::string localizedDescription() const { return model_->description(); }

  // The error as its own type; null when it is of another type.
  template <typename E> const E* as() const {
    const auto* model = dynamic_cast<const Model<E>*>(model_.get());
    return model ? &model->value : nullptr;
  }

private:
  struct Concept {
    virtual ~Concept() = default;
    virtual std::string description() const = 0;
  };

  template <typename E> struct Model final : Concept {
    explicit Model(E error) : value(std::move(error)) {}
    std::string description() const override {
      if constexpr (std::is_same_v<E, platform::HttpError>) {
        return value.message.empty()
                   ? "The request failed (code " + std::to_string(value.code()) + ")"
                   : value.message;
      } else if constexpr (detail::HasLocalizedDescription<E>) {
        return value.localizedDescription();
      } else if constexpr (detail::HasErrorDescription<E>) {
        return value.errorDescription();
      } else {
        return detail::describeError(value);
      }
    }
    E value;
  };

  std::shared_ptr<const Concept> model_;
};

} // namespace ombrelia
