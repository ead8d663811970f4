#pragma once
// Any thread: the wrapped completion runs on the thread that calls it first, or on the thread
// that drops the last copy of the wrapper without calling it.

#include <functional>
#include <memory>
#include <mutex>
#include <tuple>
#include <type_traits>
#include <utility>

namespace ombrelia::platform {

// Wraps a completion so that it runs exactly once: a second call is ignored, and a wrapper
// dropped without being called (a lost peer answer, a cancelled transfer) calls it with the
// fallback values, so whoever waits on it is always answered.
template <typename... Args> class OnceCompletion {
 public:
  using Function = std::function<void(Args...)>;

  [[nodiscard]] static Function wrap(Function function, std::decay_t<Args>... fallback) {
    auto state = std::make_shared<State>(std::move(function), std::move(fallback)...);
    return [state](Args... args) { state->call(std::forward<Args>(args)...); };
  }

 private:
  struct State {
    explicit State(Function f, std::decay_t<Args>... fallback)
        : function(std::move(f)), fallbackValues(std::move(fallback)...) {}
    ~State() {
      if (function)
        std::apply(function, std::move(fallbackValues));
    }
    template <typename... CallArgs> void call(CallArgs&&... args) {
      Function toRun;
      {
        std::lock_guard lock(mutex);
        toRun = std::move(function);
        function = nullptr;
      }
      if (toRun)
        toRun(std::forward<CallArgs>(args)...);
    }

    std::mutex mutex;
    Function function;
    std::tuple<std::decay_t<Args>...> fallbackValues;
  };
};

}  // namespace ombrelia::platform
