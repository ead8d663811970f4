#pragma once
// Any thread: observers run synchronously on the posting thread.

#include <any>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace ombrelia::platform {

struct Notification {
  std::string name;
  std::any object;  // the payload; empty when the poster sent none
};

class NotificationCenter;

// Keeps an observer registered; destroying or resetting it removes the observer. An observer
// removed during a post is not called after the removal returns on the posting thread.
class ObserverToken {
 public:
  ObserverToken() = default;
  ObserverToken(ObserverToken&& other) noexcept;
  ObserverToken& operator=(ObserverToken&& other) noexcept;
  ObserverToken(const ObserverToken&) = delete;
  ObserverToken& operator=(const ObserverToken&) = delete;
  ~ObserverToken();
  void reset();
  explicit operator bool() const { return !entry_.expired(); }

 private:
  friend class NotificationCenter;
  struct Entry;
  ObserverToken(std::weak_ptr<NotificationCenter*> center, std::weak_ptr<Entry> entry);
  std::weak_ptr<NotificationCenter*> center_;
  std::weak_ptr<Entry> entry_;
};

// Notifications by plain string name with the payload as the object. Never post while holding
// a lock that an observer may need.
class NotificationCenter {
 public:
  using Observer = std::function<void(const Notification&)>;

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  static NotificationCenter& defaultCenter();

  [[nodiscard]] ObserverToken addObserver(const std::string& name, Observer observer);
  void post(const std::string& name, std::any object = {});
  size_t observerCount(const std::string& name) const;

 private:
  friend class ObserverToken;
  void remove(const std::shared_ptr<ObserverToken::Entry>& entry);

  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::vector<std::shared_ptr<ObserverToken::Entry>>> observers_;
  std::shared_ptr<NotificationCenter*> self_;
};

}  // namespace ombrelia::platform
