#include "platform/ServicePublisher.hpp"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <utility>

namespace ombrelia::platform {

// Everything here is touched by the Avahi event loop's thread, which calls every callback with
// its own lock held, and by the owner's thread only before that loop starts and after it stops.
struct ServicePublisher::Impl {
  std::string name;
  std::string type;
  uint16_t port = 0;
  Events events;
  int renames = 0;
  AvahiThreadedPoll* poll = nullptr;
  AvahiClient* client = nullptr;
  AvahiEntryGroup* group = nullptr;
  AvahiServiceResolver* resolver = nullptr;
  AvahiTimeout* resolutionTimeout = nullptr;

  void fail(Failure failure, int code) {
    if (events.failed) events.failed(failure, code);
  }

  // Takes the daemon's next alternative name; false (and the registration failed) past the cap.
  bool rename() {
    if (++renames > kMaxRenames) {
      fail(Failure::registration, AVAHI_ERR_COLLISION);
      return false;
    }
    char* alternative = avahi_alternative_service_name(name.c_str());
    if (alternative == nullptr) {
      fail(Failure::registration, AVAHI_ERR_NO_MEMORY);
      return false;
    }
    name = alternative;
    avahi_free(alternative);
    return true;
  }

  // `c` is passed in because the first call comes from inside avahi_client_new, before the
  // client pointer is known.
  void addService(AvahiClient* c) {
    if (group == nullptr) {
      group = avahi_entry_group_new(c, &Impl::onGroupState, this);
      if (group == nullptr) {
        fail(Failure::createRegistration, avahi_client_errno(c));
        return;
      }
    }
    if (!avahi_entry_group_is_empty(group)) return;
    for (;;) {
      const int added = avahi_entry_group_add_service(
          group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
          name.c_str(), type.c_str(), nullptr, nullptr, port, nullptr);
      if (added == AVAHI_ERR_COLLISION) {
        // Another service of this daemon holds the name: rename before anything is announced.
        if (!rename()) return;
        continue;
      }
      if (added < 0) {
        fail(Failure::registration, added);
        return;
      }
      break;
    }
    if (const int committed = avahi_entry_group_commit(group); committed < 0) {
      fail(Failure::registration, committed);
    }
  }

  void resolve(AvahiClient* c) {
    const AvahiPoll* api = avahi_threaded_poll_get(poll);
    timeval deadline{};
    avahi_elapse_time(&deadline, kResolutionTimeoutMs, 0);
    resolutionTimeout = api->timeout_new(api, &deadline, &Impl::onResolutionTimeout, this);
    if (resolutionTimeout == nullptr) {
      fail(Failure::createResolution, AVAHI_ERR_NO_MEMORY);
      return;
    }
    resolver = avahi_service_resolver_new(
        c, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, name.c_str(), type.c_str(), nullptr,
        AVAHI_PROTO_UNSPEC, static_cast<AvahiLookupFlags>(0), &Impl::onResolved, this);
    if (resolver == nullptr) {
      endResolution();
      fail(Failure::startResolution, avahi_client_errno(c));
    }
  }

  void endResolution() {
    if (resolver != nullptr) {
      avahi_service_resolver_free(resolver);
      resolver = nullptr;
    }
    if (resolutionTimeout != nullptr) {
      const AvahiPoll* api = avahi_threaded_poll_get(poll);
      api->timeout_free(resolutionTimeout);
      resolutionTimeout = nullptr;
    }
  }

  static void onClientState(AvahiClient* c, AvahiClientState state, void* context) {
    auto& self = *static_cast<Impl*>(context);
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        self.addService(c);
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The daemon is (re)establishing its host name: services wait until it runs again.
        if (self.group != nullptr) avahi_entry_group_reset(self.group);
        break;
      case AVAHI_CLIENT_FAILURE:
        self.fail(Failure::registration, avahi_client_errno(c));
        break;
      case AVAHI_CLIENT_CONNECTING:
        break;
    }
  }

  static void onGroupState(AvahiEntryGroup* g, AvahiEntryGroupState state, void* context) {
    auto& self = *static_cast<Impl*>(context);
    AvahiClient* c = avahi_entry_group_get_client(g);
    switch (state) {
      case AVAHI_ENTRY_GROUP_ESTABLISHED:
        if (self.events.registered) self.events.registered(self.name);
        self.endResolution();
        self.resolve(c);
        break;
      case AVAHI_ENTRY_GROUP_COLLISION:
        // Another host on the link holds the name.
        if (self.rename()) {
          avahi_entry_group_reset(g);
          self.addService(c);
        }
        break;
      case AVAHI_ENTRY_GROUP_FAILURE:
        self.fail(Failure::registration, avahi_client_errno(c));
        break;
      case AVAHI_ENTRY_GROUP_UNCOMMITED:
      case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
  }

  static void onResolved(AvahiServiceResolver* r, AvahiIfIndex, AvahiProtocol,
                         AvahiResolverEvent event, const char*, const char*, const char*,
                         const char* hostName, const AvahiAddress*, uint16_t, AvahiStringList*,
                         AvahiLookupResultFlags, void* context) {
    auto& self = *static_cast<Impl*>(context);
    if (event == AVAHI_RESOLVER_FOUND) {
      std::string host = hostName != nullptr ? hostName : "";
      if (!host.empty() && host.back() == '.') host.pop_back();
      self.endResolution();
      if (self.events.resolved) self.events.resolved(host);
      return;
    }
    const int code = avahi_client_errno(avahi_service_resolver_get_client(r));
    self.endResolution();
    // Running out of time is no failure of the publication itself.
    if (code != AVAHI_ERR_TIMEOUT) self.fail(Failure::resolution, code);
  }

  static void onResolutionTimeout(AvahiTimeout*, void* context) {
    static_cast<Impl*>(context)->endResolution();
  }
};

std::unique_ptr<ServicePublisher> ServicePublisher::start(std::string name, std::string type,
                                                          uint16_t port, Events events) {
  auto impl = std::make_unique<Impl>();
  impl->name = std::move(name);
  impl->type = std::move(type);
  impl->port = port;
  impl->events = std::move(events);
  impl->poll = avahi_threaded_poll_new();
  if (impl->poll == nullptr) {
    impl->fail(Failure::createRegistration, AVAHI_ERR_NO_MEMORY);
    return std::unique_ptr<ServicePublisher>(new ServicePublisher(std::move(impl)));
  }
  int error = 0;
  // Without AVAHI_CLIENT_NO_FAIL a missing daemon or bus fails here at once, which is the
  // failure to report; the loop is not running yet, so callbacks made from inside this call run
  // on this thread.
  impl->client =
      avahi_client_new(avahi_threaded_poll_get(impl->poll), static_cast<AvahiClientFlags>(0),
                       &Impl::onClientState, impl.get(), &error);
  if (impl->client == nullptr) {
    impl->fail(Failure::registration, error);
  } else if (avahi_threaded_poll_start(impl->poll) < 0) {
    impl->fail(Failure::createRegistration, AVAHI_ERR_FAILURE);
  }
  return std::unique_ptr<ServicePublisher>(new ServicePublisher(std::move(impl)));
}

ServicePublisher::ServicePublisher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ServicePublisher::~ServicePublisher() { stop(); }

void ServicePublisher::stop() {
  Impl& impl = *impl_;
  if (impl.poll == nullptr) return;
  // Stopping joins the loop's thread (it fails harmlessly when the loop never started), so
  // nothing below races a callback.
  avahi_threaded_poll_stop(impl.poll);
  impl.endResolution();
  if (impl.group != nullptr) {
    avahi_entry_group_free(impl.group);  // withdraws the service
    impl.group = nullptr;
  }
  if (impl.client != nullptr) {
    avahi_client_free(impl.client);
    impl.client = nullptr;
  }
  avahi_threaded_poll_free(impl.poll);
  impl.poll = nullptr;
}

}  // namespace ombrelia::platform
