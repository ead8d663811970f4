#include "platform/NotificationCenter.hpp"

#include <algorithm>
#include <atomic>

namespace ombrelia::platform {

struct ObserverToken::Entry {
  std::string name;
  NotificationCenter::Observer observer;
  std::atomic<bool> active{true};
};

ObserverToken::ObserverToken(std::weak_ptr<NotificationCenter*> center, std::weak_ptr<Entry> entry)
    : center_(std::move(center)), entry_(std::move(entry)) {}

ObserverToken::ObserverToken(ObserverToken&& other) noexcept
    : center_(std::move(other.center_)), entry_(std::move(other.entry_)) {}

ObserverToken& ObserverToken::operator=(ObserverToken&& other) noexcept {
  if (this != &other) {
    reset();
    center_ = std::move(other.center_);
    entry_ = std::move(other.entry_);
  }
  return *this;
}

ObserverToken::~ObserverToken() {
  reset();
}

void ObserverToken::reset() {
  auto entry = entry_.lock();
  auto center = center_.lock();
  entry_.reset();
  center_.reset();
  if (!entry)
    return;
  entry->active.store(false, std::memory_order_release);
  if (center)
    (*center)->remove(entry);
}

NotificationCenter::NotificationCenter() : self_(std::make_shared<NotificationCenter*>(this)) {}

NotificationCenter::~NotificationCenter() {
  std::lock_guard lock(mutex_);
  self_.reset();  // tokens outliving the centre no longer reach it
}

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter* center = new NotificationCenter();  // lives until the process ends
  return *center;
}

ObserverToken NotificationCenter::addObserver(const std::string& name, Observer observer) {
  auto entry = std::make_shared<ObserverToken::Entry>();
  entry->name = name;
  entry->observer = std::move(observer);
  std::lock_guard lock(mutex_);
  observers_[name].push_back(entry);
  return ObserverToken(self_, entry);
}

void NotificationCenter::post(const std::string& name, std::any object) {
  // A snapshot, so observers may add or remove observers while being called.
  std::vector<std::shared_ptr<ObserverToken::Entry>> snapshot;
  {
    std::lock_guard lock(mutex_);
    auto it = observers_.find(name);
    if (it == observers_.end())
      return;
    snapshot = it->second;
  }
  const Notification notification{name, std::move(object)};
  for (const auto& entry : snapshot) {
    if (entry->active.load(std::memory_order_acquire))
      entry->observer(notification);
  }
}

size_t NotificationCenter::observerCount(const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto it = observers_.find(name);
  return it == observers_.end() ? 0 : it->second.size();
}

void NotificationCenter::remove(const std::shared_ptr<ObserverToken::Entry>& entry) {
  std::lock_guard lock(mutex_);
  auto it = observers_.find(entry->name);
  if (it == observers_.end())
    return;
  auto& list = it->second;
  list.erase(std::remove(list.begin(), list.end(), entry), list.end());
  if (list.empty())
    observers_.erase(it);
}

}  // namespace ombrelia::platform
