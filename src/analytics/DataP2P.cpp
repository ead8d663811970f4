#include "analytics/DataP2P.hpp"

#include "protocol/SaturatingAdd.hpp"

namespace ombrelia {

void DataP2P::updateValue(std::optional<PeerType> type, int64_t dataSize) {
  const auto bytes = static_cast<double>(dataSize);
  switch (type.value_or(PeerType::unknown)) {
    case PeerType::ip:
      ip = saturatingAdd(ip, dataSize);
      factor += bytes * FACTOR_IP;
      break;
    case PeerType::city:
      city = saturatingAdd(city, dataSize);
      factor += bytes * FACTOR_CITY;
      break;
    case PeerType::region:
      region = saturatingAdd(region, dataSize);
      factor += bytes * FACTOR_REGION;
      break;
    case PeerType::country:
      country = saturatingAdd(country, dataSize);
      factor += bytes * FACTOR_COUNTRY;
      break;
    case PeerType::unknown:
      break;
  }
  p2p = saturatingAdd(p2p, dataSize);
}

}  // namespace ombrelia
