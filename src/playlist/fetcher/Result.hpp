#pragma once
// Any thread: a value type.

#include <optional>

#include "platform/Expected.hpp"
#include "playlist/fetcher/AnyError.hpp"

namespace ombrelia {

// The outcome of a playlist fetch: `success` with a value, or `failure` with the error that
// caused it (the fetcher always gives one; a fetcher of the caller's own may not).
template <typename T>
using Result = Expected<T, std::optional<AnyError>>;

}  // namespace ombrelia
