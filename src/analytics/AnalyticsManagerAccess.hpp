#pragma once
// Any thread.

#include <memory>

namespace ombrelia {

class AnalyticsManager;
class AnalyticsService;

// The library's way to the service behind the application's analytics manager: the proxy
// manager asks for it once and hands it to the loaders. The service is internal, so the public
// header names this class as a friend instead of handing the service to the application.
class AnalyticsManagerAccess {
 public:
  AnalyticsManagerAccess() = delete;

  // The service the manager owns, the same object at every call.
  static std::shared_ptr<AnalyticsService> getAnalyticsService(const AnalyticsManager& manager);
};

}  // namespace ombrelia
