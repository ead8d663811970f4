#pragma once
// Loop thread: every operation and every callback runs on the GlibLoop thread.

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ombrelia::datachannel {

// The addresses of the STUN servers named by host name, looked up once for the whole process:
// every connection gathers through the same server, and a lookup per connection would let
// whoever makes the viewer take connections make it query its resolver as often. A lookup that
// fails is not kept, so the next connection tries again.
class StunHostCache {
 public:
  using Found = std::function<void(std::optional<std::string> address)>;

  static StunHostCache& shared();

  StunHostCache(const StunHostCache&) = delete;
  StunHostCache& operator=(const StunHostCache&) = delete;

  // Calls `found` with the host's address (at once when it is known, or is an address already),
  // or with none when the lookup failed. Callers that ask while a lookup runs wait for it.
  void resolve(const std::string& host, Found found);
  // Lookups started so far, for tests.
  size_t lookupsStarted() const { return lookupsStarted_; }

 private:
  StunHostCache() = default;
  void finish(const std::string& host, std::optional<std::string> address);

  struct Entry {
    std::optional<std::string> address;
    bool looking = false;
    // Every connection being set up may wait here, so the connection bounds bound it too.
    std::vector<Found> waiting;
  };
  std::map<std::string, Entry> hosts_;  // the configured servers' hosts only
  size_t lookupsStarted_ = 0;
};

}  // namespace ombrelia::datachannel
