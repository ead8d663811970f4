#include "protocol/PeerType.hpp"

namespace ombrelia {

std::string_view rawValue(PeerType type) {
  switch (type) {
    case PeerType::ip:
      return "ip";
    case PeerType::city:
      return "city";
    case PeerType::region:
      return "region";
    case PeerType::country:
      return "country";
    case PeerType::unknown:
      return "unknown";
  }
  return "unknown";
}

std::optional<PeerType> makePeerType(std::string_view raw) {
  for (PeerType type :
       {PeerType::ip, PeerType::city, PeerType::region, PeerType::country, PeerType::unknown}) {
    if (raw == rawValue(type)) return type;
  }
  return std::nullopt;
}

}  // namespace ombrelia
