#include "platform/Reachability.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include <array>
#include <mutex>
#include <string_view>

namespace ombrelia::platform {
namespace {

std::mutex overrideMutex;  // guards overridden
std::optional<uint32_t> overridden;

// Kernel names of mobile-broadband links: the generic WWAN driver class and the Qualcomm and
// MediaTek modem drivers found on phones and LTE sticks.
constexpr std::array<std::string_view, 3> kCellularPrefixes = {"wwan", "rmnet", "ccmni"};

bool isCellular(std::string_view name) {
  for (auto prefix : kCellularPrefixes) {
    if (name.substr(0, prefix.size()) == prefix) return true;
  }
  return false;
}

}  // namespace

uint32_t Reachability::flags() {
  {
    std::lock_guard lock(overrideMutex);
    if (overridden) return *overridden;
  }
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  uint32_t result = 0;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr) continue;
    const int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    const unsigned flags = entry->ifa_flags;
    if ((flags & IFF_UP) == 0 || (flags & IFF_RUNNING) == 0 || (flags & IFF_LOOPBACK) != 0) {
      continue;
    }
    result |= kReachable;
    if (isCellular(entry->ifa_name)) result |= kIsWWAN;
  }
  freeifaddrs(list);
  return result;
}

void Reachability::overrideFlags(std::optional<uint32_t> flags) {
  std::lock_guard lock(overrideMutex);
  overridden = flags;
}

}  // namespace ombrelia::platform
