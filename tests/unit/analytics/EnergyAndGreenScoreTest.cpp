#include <gtest/gtest.h>

#include <limits>

#include "analytics/DataP2P.hpp"
#include "analytics/DataReceived.hpp"
#include "analytics/EnergyUtils.hpp"

namespace ombrelia {
namespace {

constexpr double kTolerance = 1e-9;

TEST(DataCounters, TotalsStayAtTheirBoundInsteadOfWrapping) {
  DataP2P data;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  data.updateValue(PeerType::city, kMax);
  data.updateValue(PeerType::city, kMax);
  EXPECT_EQ(data.p2p, kMax);
  EXPECT_EQ(data.city, kMax);
}

TEST(EnergySaved, EveryPeerByteSavesLessTheCostOfItsDistance) {
  const EnergyUtils energy;
  const DataP2P nothingSent;
  const std::pair<std::optional<PeerType>, double> cases[] = {
      {PeerType::ip, 57.1},   {PeerType::unknown, 57.1}, {std::nullopt, 57.1},
      {PeerType::city, 52.8}, {PeerType::region, 32.8},  {PeerType::country, 3.6},
  };
  for (const auto& [type, expected] : cases) {
    DataReceived received;
    received.p2p.updateValue(type, 1'000'000'000);
    received.http = 5'000'000'000;  // origin bytes never enter the model
    EXPECT_NEAR(energy.energySavedReceivedWh(received), expected, kTolerance);
    EXPECT_NEAR(energy.energySavedWh(received, nothingSent), expected, kTolerance);
    EXPECT_EQ(energy.energySavedSentWh(nothingSent), 0.0);
  }
}

TEST(GreenScore, WeightedPeerBytesOverEveryByteReceived) {
  const EnergyUtils energy;
  DataReceived received;
  received.http = 1000;
  received.p2p.updateValue(PeerType::city, 1000);
  EXPECT_EQ(energy.greenScore(received, DataP2P()), 57.5);

  DataReceived originOnly;
  originOnly.http = 1000;
  DataP2P sent;
  sent.updateValue(PeerType::ip, 1000);
  EXPECT_EQ(energy.greenScore(originOnly, sent), 125.0) << "not clamped at 100";

  received.p2p.updateValue(PeerType::unknown, 1000);
  EXPECT_EQ(energy.greenScore(received, DataP2P()), 38.3) << "unknown peers lower the score";
}

TEST(GreenScore, IsZeroRatherThanNotANumberBeforeAnythingIsReceived) {
  const EnergyUtils energy;
  EXPECT_EQ(energy.greenScore(DataReceived(), DataP2P()), 0.0);
  DataP2P sent;
  sent.updateValue(PeerType::country, 1000);
  EXPECT_EQ(energy.greenScore(DataReceived(), sent), 0.0) << "not infinity";
}

}  // namespace
}  // namespace ombrelia
