#include "webserver/responses/WebServerResponseReset.hpp"

#include <utility>

namespace ombrelia {

void WebServerResponseReset::request() {
  std::function<void()> reset;
  {
    std::lock_guard lock(mutex_);
    if (requested_) return;
    requested_ = true;
    reset = std::move(reset_);
    reset_ = nullptr;
  }
  if (reset) reset();
}

void WebServerResponseReset::attach(std::function<void()> reset) {
  {
    std::lock_guard lock(mutex_);
    if (!requested_) {
      reset_ = std::move(reset);
      return;
    }
  }
  reset();
}

}  // namespace ombrelia
