#pragma once
// Any thread: stateless.

#include "analytics/DataP2P.hpp"
#include "analytics/DataReceived.hpp"

namespace ombrelia {

// The energy that peer traffic saves against fetching the same bytes from the origin, its
// everyday equivalents, and the green score.
class EnergyUtils {
 public:
  // Watt-hours per byte of the origin's delivery path, per byte of a device's transfer, and the
  // transport cost a peer's byte still carries by how far away that peer is. Bytes of a peer
  // behind the same IP address cross no shared network and carry no cost.
  static constexpr double kServerWhPerByte = 7.2e-8;
  static constexpr double kServerShare = 20;
  static constexpr double kNetworkWhPerByte = 5.35e-8;
  static constexpr double kCountryWhPerByte = 5.35e-8;
  static constexpr double kRegionWhPerByte = 2.43e-8;
  static constexpr double kCityWhPerByte = 4.3e-9;
  // Watt-hours per light equivalent, grams of CO2 and centilitres of water per watt-hour.
  static constexpr double kWhPerLight = 2.5;
  static constexpr double kCO2gPerWh = 0.466;
  static constexpr double kWatercLPerWh = 0.219;

  // Received and sent together.
  double energySavedWh(const DataReceived& dataReceived, const DataP2P& dataSent) const;
  double energySavedReceivedWh(const DataReceived& dataReceived) const;
  double energySavedSentWh(const DataP2P& dataSent) const;

  // Each rounded to one decimal, halves away from zero.
  double energyInLight(double energyWh) const;
  double energyInCO2g(double energyWh) const;
  double energyInWatercL(double energyWh) const;

  // Weighted peer bytes, received and sent, over every byte received, as a percentage with one
  // decimal; not clamped, so weights and bytes sent can take it past 100. Before any byte was
  // received there is nothing to compare against and the score is 0.
  double greenScore(const DataReceived& dataReceived, const DataP2P& dataSent) const;

 private:
  static double saved(double p2p, double country, double region, double city);
  static double roundToTenth(double value);
};

}  // namespace ombrelia
