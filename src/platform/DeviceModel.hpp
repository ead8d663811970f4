#pragma once
// Any thread: every call reads the process environment afresh; the test override is locked.

#include <optional>
#include <string>

namespace ombrelia::platform {

// The model identifier of the device the library runs on, as the device simulator publishes it
// in the process environment ("SIMULATOR_MODEL_IDENTIFIER"); none where it is not set.
class DeviceModel {
 public:
  static constexpr const char* kModelVariable = "SIMULATOR_MODEL_IDENTIFIER";

  static std::optional<std::string> identifier();
  // Test hook: identifier() answers `identifier` (none included) until clearOverride().
  static void overrideIdentifier(std::optional<std::string> identifier);
  static void clearOverride();
};

}  // namespace ombrelia::platform
