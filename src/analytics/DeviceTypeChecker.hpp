#pragma once
// Any thread: stateless; every call reads the environment afresh.

#include <string_view>

#include "protocol/DeviceType.hpp"

namespace ombrelia {

// Classifies the device from the simulator's model identifier.
class DeviceTypeChecker {
 public:
  static DeviceType currentDeviceType();
  // By case-sensitive prefix: "iPhone", "iPad", "AppleTV"; anything else is unknown.
  static DeviceType deviceType(std::string_view modelIdentifier);
};

}  // namespace ombrelia
