#include "protocol/Description.hpp"

#include <utility>

namespace ombrelia {

Description::Description(std::string type, std::string sdp)
    : type_(std::move(type)), sdp_(std::move(sdp)) {}

std::optional<Description> Description::decode(const platform::JsonReader& object) {
  auto type = object.string("type");
  auto sdp = object.string("sdp");
  if (!type || !sdp) return std::nullopt;
  return Description(std::move(*type), std::move(*sdp));
}

}  // namespace ombrelia
