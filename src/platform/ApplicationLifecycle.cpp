#include "platform/ApplicationLifecycle.hpp"

#include <vector>

#include "platform/NotificationCenter.hpp"

namespace ombrelia::platform {

ApplicationLifecycle &ApplicationLifecycle::shared() {
  static ApplicationLifecycle *instance = new ApplicationLifecycle();
  return *instance;
}

bool ApplicationLifecycle::isInBackground() const {
  std::lock_guard lock(mutex_);
  return inBackground_;
}

void ApplicationLifecycle::enterBackground() {
  {
    std::lock_guard lock(mutex_);
    if (inBackground_)
      return;
    inBackground_ = true;
  }
  NotificationCenter::defaultCenter().post(kDidEnterBackgroundNotification);
}

void ApplicationLifecycle::enterForeground() {
  {
    std::lock_guard lock(mutex_);
    if (!inBackground_)
      return;
    inBackground_ = false;
  }
  NotificationCenter::defaultCenter().post(kWillEnterForegroundNotification);
}

ApplicationLifecycle::BackgroundTaskIdentifier
ApplicationLifecycle::beginBackgroundTask(std::function<void()> expirationHandler) {
  std::lock_guard lock(mutex_);
  const BackgroundTaskIdentifier task = nextTask_++;
  tasks_.emplace(task, std::move(expirationHandler));
  return task;
}

void ApplicationLifecycle::endBackgroundTask(BackgroundTaskIdentifier task) {
  std::lock_guard lock(mutex_);
  tasks_.erase(task);
}

size_t ApplicationLifecycle::backgroundTaskCount() const {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

void ApplicationLifecycle::expireBackgroundTasks() {
  std::vector<std::function<void()>> handlers;
  {
    std::lock_guard lock(mutex_);
    for (const auto &[task, handler] : tasks_) {
      if (handler)
        handlers.push_back(handler);
    }
  }
  for (const auto &handler : handlers)
    handler();
}

} // namespace ombrelia::platform
