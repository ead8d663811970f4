#include "platform/DeviceModel.hpp"

#include <cstdlib>
#include <mutex>

namespace ombrelia::platform {
namespace {

struct Override {
  std::mutex mutex;  // guards the two fields below
  bool overriding = false;
  std::optional<std::string> identifier;
};

Override& overrideState() {
  // Never destroyed: the analytics may still ask for the model while the process exits.
  static auto* instance = new Override();
  return *instance;
}

}  // namespace

std::optional<std::string> DeviceModel::identifier() {
  {
    std::lock_guard lock(overrideState().mutex);
    if (overrideState().overriding) return overrideState().identifier;
  }
  // The library never changes its environment, so reading it here races with no writer of ours.
  const char* value = std::getenv(kModelVariable);  // NOLINT(concurrency-mt-unsafe)
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void DeviceModel::overrideIdentifier(std::optional<std::string> identifier) {
  std::lock_guard lock(overrideState().mutex);
  overrideState().overriding = true;
  overrideState().identifier = std::move(identifier);
}

void DeviceModel::clearOverride() {
  std::lock_guard lock(overrideState().mutex);
  overrideState().overriding = false;
  overrideState().identifier.reset();
}

}  // namespace ombrelia::platform
