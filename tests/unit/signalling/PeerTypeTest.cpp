#include <gtest/gtest.h>

#include "signalling/PeerType.hpp"

namespace ombrelia {
namespace {

TEST(PeerTypeTest, RawValuesRoundTripAndUnknownTextsGiveNone) {
  for (PeerType type :
       {PeerType::ip, PeerType::city, PeerType::region, PeerType::country, PeerType::unknown}) {
    EXPECT_EQ(makePeerType(rawValue(type)), type);
  }
  EXPECT_EQ(rawValue(PeerType::ip), "ip");
  EXPECT_EQ(rawValue(PeerType::country), "country");
  EXPECT_EQ(makePeerType("City"), std::nullopt);
  EXPECT_EQ(makePeerType(""), std::nullopt);
}

}  // namespace
}  // namespace ombrelia
