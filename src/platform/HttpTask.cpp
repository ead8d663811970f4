#include "platform/HttpTask.hpp"

#include "platform/HttpClientEngine.hpp"

namespace ombrelia::platform {

void HttpTask::cancel() {
  if (auto engine = engine_.lock()) engine->cancel(identifier_);
}

void HttpTask::abandon() {
  if (auto engine = engine_.lock()) engine->abandon(identifier_);
}

}  // namespace ombrelia::platform
