#include "analytics/DeviceTypeChecker.hpp"

#include "platform/DeviceModel.hpp"

namespace ombrelia {

DeviceType DeviceTypeChecker::currentDeviceType() {
  const auto identifier = platform::DeviceModel::identifier();
  return identifier ? deviceType(*identifier) : DeviceType::unknown;
}

DeviceType DeviceTypeChecker::deviceType(std::string_view modelIdentifier) {
  if (modelIdentifier.starts_with("iPhone")) return DeviceType::iPhone;
  if (modelIdentifier.starts_with("iPad")) return DeviceType::iPad;
  if (modelIdentifier.starts_with("AppleTV")) return DeviceType::tvOS;
  return DeviceType::unknown;
}

}  // namespace ombrelia
