#include "platform/DeviceModel.hpp"

#include <cstdlib>
#include <mutex>

namespace ombrelia::platform {
namespace {

std::mutex overrideMutex;  // guards the two fields below
bool overriding = false;
std::optional<std::string> overridden;

}  // namespace

std::optional<std::string> DeviceModel::identifier() {
  {
    std::lock_guard lock(overrideMutex);
    if (overriding) return overridden;
  }
  // The library never changes its environment, so reading it here races with no writer of ours.
  const char* value = std::getenv(kModelVariable);  // NOLINT(concurrency-mt-unsafe)
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void DeviceModel::overrideIdentifier(std::optional<std::string> identifier) {
  std::lock_guard lock(overrideMutex);
  overriding = true;
  overridden = std::move(identifier);
}

void DeviceModel::clearOverride() {
  std::lock_guard lock(overrideMutex);
  overriding = false;
  overridden.reset();
}

}  // namespace ombrelia::platform
