#pragma once
// Any thread: state is guarded; notifications are posted on the thread that reports the change.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace ombrelia::platform {

// The application's foreground and background states and its background tasks, standing in for
// the platform's application object. The application starts in the foreground; the host (or a
// test) reports transitions, which post the two notifications below through the default
// notification centre. A background task asks for time to finish work in the background; the
// host may expire the tasks, which runs their expiration handlers.
class ApplicationLifecycle {
public:
  static constexpr const char *kDidEnterBackgroundNotification = "ApplicationDidEnterBackground";
  static constexpr const char *kWillEnterForegroundNotification = "ApplicationWillEnterForeground";

  using BackgroundTaskIdentifier = uint64_t;
  static constexpr BackgroundTaskIdentifier kInvalidBackgroundTask = 0;

  static ApplicationLifecycle &shared();

  bool isInBackground() const;
  void enterBackground();
  void enterForeground();

  [[nodiscard]] BackgroundTaskIdentifier
  beginBackgroundTask(std::function<void()> expirationHandler);
  void endBackgroundTask(BackgroundTaskIdentifier task);
  size_t backgroundTaskCount() const;
  // Runs the expiration handler of every task held now (outside the lock: a handler ends its
  // task).
  void expireBackgroundTasks();

private:
  ApplicationLifecycle() = default;

  mutable std::mutex mutex_;
  bool inBackground_ = false;
  BackgroundTaskIdentifier nextTask_ = 1;
  std::map<BackgroundTaskIdentifier, std::function<void()>> tasks_;
};

} // namespace ombrelia::platform
