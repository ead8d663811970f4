#pragma once
// Owner thread: start() and stop(). Events run on the publisher's own thread (the Avahi client's
// event loop), or on the thread calling start() when the client cannot even be created.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ombrelia::platform {

// Publishes one DNS-SD service over multicast DNS in the "local" domain through the system's
// mDNS daemon (avahi-daemon, reached over D-Bus), then resolves it once to learn the host name
// that browsers will see. When the daemon reports the name taken on the network (or by another
// of its clients), the service is registered again under Avahi's next alternative ("Name #2",
// then "Name #3"...), as applications on other platforms expect by default. Stopping withdraws
// the service.
class ServicePublisher {
 public:
  // What failed; the code that goes with it is Avahi's error number.
  enum class Failure {
    createRegistration,  // the client's event loop or entry group could not be made
    registration,        // no daemon or bus, a refused service, or too many name collisions
    createResolution,    // the resolution's time limit could not be armed
    startResolution,     // the daemon refused to start resolving
    resolution,          // resolving failed for another reason than its time limit
  };
  struct Events {
    // The daemon established the service under this name (the alternative one after a clash).
    std::function<void(const std::string& name)> registered;
    // The service resolved to this host name, without a trailing dot.
    std::function<void(const std::string& host)> resolved;
    std::function<void(Failure failure, int code)> failed;
  };

  // A resolution not answered by then is dropped quietly: the service is published all the same.
  static constexpr int kResolutionTimeoutMs = 5000;
  // Each clash renames once; past this many the network is taken to be answering every name and
  // the registration fails instead of renaming forever.
  static constexpr int kMaxRenames = 32;

  [[nodiscard]] static std::unique_ptr<ServicePublisher> start(std::string name, std::string type,
                                                               uint16_t port, Events events);
  ~ServicePublisher();
  ServicePublisher(const ServicePublisher&) = delete;
  ServicePublisher& operator=(const ServicePublisher&) = delete;

  // Ends resolution, withdraws the service and disconnects; no event runs after it returns.
  // Must not be called from an event.
  void stop();

  struct Impl;

 private:
  explicit ServicePublisher(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace ombrelia::platform
