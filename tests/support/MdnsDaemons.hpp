#pragma once
// Test thread only.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.hpp"

namespace ombrelia::test {

// A D-Bus system bus and an Avahi mDNS daemon of the test's own, for a test running inside an
// IsolatedNetwork (whose tmpfs /run holds their sockets, pid files and configuration files).
// The daemon answers on the namespace's veth end only, as host kHostName, over IPv4. Both stop
// when the object goes away.
class MdnsDaemons {
 public:
  static constexpr const char* kHostName = "ombrelia-test";

  enum class Start { busOnly, busAndAvahi };
  explicit MdnsDaemons(Start start = Start::busAndAvahi);
  ~MdnsDaemons();

  // Empty once everything asked for is up; else what failed.
  const std::string& error() const { return error_; }

  // A service resolved by avahi-browse (-r), its texts unescaped.
  struct Found {
    std::string name;
    std::string type;
    std::string host;
    std::string address;
    uint16_t port = 0;
  };
  // What an independent browser finds of a service type now (avahi-browse -rptk).
  static std::vector<Found> browse(const std::string& type);

  // An independent browser that stays on (avahi-browse -rpk), for waiting on a service's
  // arrival or withdrawal as the daemon reports it.
  class Browser {
   public:
    explicit Browser(const std::string& type);
    std::optional<Found> waitForResolved(const std::string& name, std::chrono::milliseconds bound);
    bool waitForRemoved(const std::string& name, std::chrono::milliseconds bound);

   private:
    ChildProcess process_;
  };

 private:
  std::unique_ptr<ChildProcess> bus_;
  std::unique_ptr<ChildProcess> avahi_;
  std::string error_;
};

}  // namespace ombrelia::test
