#include "datachannel/StunHostCache.hpp"

#include <gio/gio.h>
#include <nice/address.h>

#include <memory>

#include <ombrelia/OmbreliaLogger.hpp>

#include "datachannel/GlibLoop.hpp"

namespace ombrelia::datachannel {

StunHostCache& StunHostCache::shared() {
  static auto* cache = new StunHostCache();  // lives as long as the loop it runs on
  return *cache;
}

void StunHostCache::resolve(const std::string& host, Found found) {
  NiceAddress literal;
  if (nice_address_set_from_string(&literal, host.c_str())) {
    found(host);
    return;
  }
  Entry& entry = hosts_[host];
  if (entry.address) {
    found(entry.address);
    return;
  }
  entry.waiting.push_back(std::move(found));
  if (entry.looking) return;
  entry.looking = true;
  ++lookupsStarted_;
  // On GLib's resolver threads; the answer comes back on the loop, whose context is the thread
  // default there.
  GResolver* resolver = g_resolver_get_default();
  g_resolver_lookup_by_name_async(
      resolver, host.c_str(), nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::string> host(static_cast<std::string*>(data));
        GList* addresses = g_resolver_lookup_by_name_finish(G_RESOLVER(source), result, nullptr);
        std::optional<std::string> address;
        if (addresses != nullptr) {
          gchar* text = g_inet_address_to_string(G_INET_ADDRESS(addresses->data));
          address = text;
          g_free(text);
        }
        g_resolver_free_addresses(addresses);
        StunHostCache::shared().finish(*host, std::move(address));
      },
      new std::string(host));
  g_object_unref(resolver);
}

void StunHostCache::finish(const std::string& host, std::optional<std::string> address) {
  Entry& entry = hosts_[host];
  entry.looking = false;
  if (address) {
    entry.address = address;
  } else {
    OmbreliaLogger::error("datachannel: STUN server not found: " + host, OLogModule::webRTCClient);
  }
  std::vector<Found> waiting;
  waiting.swap(entry.waiting);
  for (const auto& found : waiting) found(address);
}

}  // namespace ombrelia::datachannel
