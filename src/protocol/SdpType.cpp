#include "protocol/SdpType.hpp"

namespace ombrelia {

std::string_view rawValue(SdpType type) {
  switch (type) {
    case SdpType::offer:
      return "offer";
    case SdpType::prAnswer:
      return "prAnswer";
    case SdpType::answer:
      return "answer";
    case SdpType::rollback:
      return "rollback";
  }
  return "offer";
}

std::optional<SdpType> makeSdpType(std::string_view rawValue) {
  for (SdpType type : {SdpType::offer, SdpType::prAnswer, SdpType::answer, SdpType::rollback}) {
    if (ombrelia::rawValue(type) == rawValue) return type;
  }
  return std::nullopt;
}

}  // namespace ombrelia
