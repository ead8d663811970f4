#include "analytics/EnergyUtils.hpp"

#include <cmath>

namespace ombrelia {

double EnergyUtils::saved(double p2p, double country, double region, double city) {
  double server = kServerWhPerByte * p2p;
  server = server / kServerShare;
  const double network = kNetworkWhPerByte * p2p;
  double cost = kCountryWhPerByte * country;
  cost = cost + kRegionWhPerByte * region;
  cost = cost + kCityWhPerByte * city;
  return (server + network) - cost;
}

double EnergyUtils::roundToTenth(double value) { return std::round(value * 10) / 10; }

double EnergyUtils::energySavedWh(const DataReceived& dataReceived, const DataP2P& dataSent) const {
  const DataP2P& received = dataReceived.p2p;
  auto sum = [](int64_t a, int64_t b) { return static_cast<double>(a) + static_cast<double>(b); };
  return saved(sum(received.p2p, dataSent.p2p), sum(received.country, dataSent.country),
               sum(received.region, dataSent.region), sum(received.city, dataSent.city));
}

double EnergyUtils::energySavedReceivedWh(const DataReceived& dataReceived) const {
  return energySavedSentWh(dataReceived.p2p);
}

double EnergyUtils::energySavedSentWh(const DataP2P& dataSent) const {
  return saved(static_cast<double>(dataSent.p2p), static_cast<double>(dataSent.country),
               static_cast<double>(dataSent.region), static_cast<double>(dataSent.city));
}

double EnergyUtils::energyInLight(double energyWh) const {
  return roundToTenth(energyWh / kWhPerLight);
}

double EnergyUtils::energyInCO2g(double energyWh) const {
  return roundToTenth(energyWh * kCO2gPerWh);
}

double EnergyUtils::energyInWatercL(double energyWh) const {
  return roundToTenth(energyWh * kWatercLPerWh);
}

double EnergyUtils::greenScore(const DataReceived& dataReceived, const DataP2P& dataSent) const {
  const double numerator = dataReceived.p2p.factor + dataSent.factor;
  const double denominator =
      static_cast<double>(dataReceived.p2p.p2p) + static_cast<double>(dataReceived.http);
  if (denominator <= 0) return 0.0;
  return std::round(numerator / denominator * 1000) / 10;
}

}  // namespace ombrelia
