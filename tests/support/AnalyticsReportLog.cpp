#include "support/AnalyticsReportLog.hpp"

#include <any>

#include "protocol/AnalyticsInitMessage.hpp"
#include "protocol/AnalyticsMessage.hpp"

namespace ombrelia::test {

AnalyticsReportLog::AnalyticsReportLog() {
  auto& center = platform::NotificationCenter::defaultCenter();
  initToken_ = center.addObserver("AnalyticsInitMessage", [this](const platform::Notification& n) {
    const auto* message = std::any_cast<AnalyticsInitMessage>(&n.object);
    record(n.name, message ? message->encode().text.value_or("") : "");
    if (message == nullptr || !message->onTaken()) return;
    bool takes = false;
    {
      std::lock_guard lock(mutex_);
      takes = takesInit_;
      if (!takes) lastInitTaken_ = message->onTaken();
    }
    if (takes) message->onTaken()();
  });
  messageToken_ = center.addObserver("AnalyticsMessage", [this](const platform::Notification& n) {
    const auto* message = std::any_cast<AnalyticsMessage>(&n.object);
    record(n.name, message ? message->encode().text.value_or("") : "");
  });
}

void AnalyticsReportLog::setTakesInit(bool takesInit) {
  std::lock_guard lock(mutex_);
  takesInit_ = takesInit;
}

void AnalyticsReportLog::takeLastInit() {
  std::function<void()> taken;
  {
    std::lock_guard lock(mutex_);
    taken.swap(lastInitTaken_);
  }
  if (taken) taken();
}

std::vector<AnalyticsReportLog::Entry> AnalyticsReportLog::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

bool AnalyticsReportLog::waitFor(size_t count, std::chrono::milliseconds bound) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, bound, [&] { return entries_.size() >= count; });
}

void AnalyticsReportLog::record(std::string notification, std::string json) {
  std::lock_guard lock(mutex_);
  entries_.push_back({std::move(notification), std::move(json)});
  changed_.notify_all();
}

}  // namespace ombrelia::test
