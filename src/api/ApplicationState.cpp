#include <ombrelia/ApplicationState.hpp>

#include "platform/ApplicationLifecycle.hpp"

namespace ombrelia {

void ApplicationState::enterBackground() {
  platform::ApplicationLifecycle::shared().enterBackground();
}

void ApplicationState::enterForeground() {
  platform::ApplicationLifecycle::shared().enterForeground();
}

bool ApplicationState::isInBackground() {
  return platform::ApplicationLifecycle::shared().isInBackground();
}

}  // namespace ombrelia
