#include <gtest/gtest.h>

#include <cstdlib>

#include "analytics/DeviceTypeChecker.hpp"
#include "analytics/NetworkTypeChecker.hpp"
#include "analytics/QualityType.hpp"
#include "platform/DeviceModel.hpp"
#include "platform/Reachability.hpp"

namespace ombrelia {
namespace {

using platform::Reachability;

TEST(DeviceClassification, ModelPrefixesDecideCaseSensitively) {
  EXPECT_EQ(DeviceTypeChecker::deviceType("iPhone15,2"), DeviceType::iPhone);
  EXPECT_EQ(DeviceTypeChecker::deviceType("iPad13,4"), DeviceType::iPad);
  EXPECT_EQ(DeviceTypeChecker::deviceType("AppleTV14,1"), DeviceType::tvOS);
  EXPECT_EQ(DeviceTypeChecker::deviceType("iphone15,2"), DeviceType::unknown);
  EXPECT_EQ(DeviceTypeChecker::deviceType("appletv14,1"), DeviceType::unknown);
  EXPECT_EQ(DeviceTypeChecker::deviceType("MacBookPro18,1"), DeviceType::unknown);
  EXPECT_EQ(DeviceTypeChecker::deviceType(""), DeviceType::unknown);
}

TEST(DeviceClassification, ReadsTheSimulatorVariableAfreshAtEveryCall) {
  unsetenv(platform::DeviceModel::kModelVariable);
  EXPECT_EQ(DeviceTypeChecker::currentDeviceType(), DeviceType::unknown) << "no variable";
  setenv(platform::DeviceModel::kModelVariable, "AppleTV11,1", 1);
  EXPECT_EQ(DeviceTypeChecker::currentDeviceType(), DeviceType::tvOS);
  setenv(platform::DeviceModel::kModelVariable, "iPad8,1", 1);
  EXPECT_EQ(DeviceTypeChecker::currentDeviceType(), DeviceType::iPad);

  platform::DeviceModel::overrideIdentifier(std::nullopt);
  EXPECT_EQ(DeviceTypeChecker::currentDeviceType(), DeviceType::unknown) << "hook wins";
  platform::DeviceModel::overrideIdentifier("iPhone9,1");
  EXPECT_EQ(DeviceTypeChecker::currentDeviceType(), DeviceType::iPhone);
  platform::DeviceModel::clearOverride();
  EXPECT_EQ(DeviceTypeChecker::currentDeviceType(), DeviceType::iPad);
  unsetenv(platform::DeviceModel::kModelVariable);
}

TEST(NetworkClassification, CellularFlagDecidesEvenWithoutReachable) {
  EXPECT_EQ(NetworkTypeChecker::networkType(Reachability::kIsWWAN), NetworkType::cellular);
  EXPECT_EQ(NetworkTypeChecker::networkType(Reachability::kIsWWAN | Reachability::kReachable),
            NetworkType::cellular);
  EXPECT_EQ(NetworkTypeChecker::networkType(Reachability::kReachable), NetworkType::wifi);
  EXPECT_EQ(NetworkTypeChecker::networkType(0), NetworkType::unknown);
  EXPECT_EQ(NetworkTypeChecker::networkType(0x1 | 0x4 | 0x10000), NetworkType::unknown)
      << "no other bit is looked at";
}

TEST(NetworkClassification, HookReplacesTheInterfacesUntilCleared) {
  Reachability::overrideFlags(Reachability::kReachable);
  EXPECT_EQ(NetworkTypeChecker::getNetworkType(), NetworkType::wifi);
  Reachability::overrideFlags(Reachability::kIsWWAN);
  EXPECT_EQ(NetworkTypeChecker::getNetworkType(), NetworkType::cellular);
  Reachability::overrideFlags(std::nullopt);
  // Whatever the host's interfaces say, only the two flags the classifier reads may be set.
  EXPECT_EQ(Reachability::flags() & ~(Reachability::kReachable | Reachability::kIsWWAN), 0u);
}

TEST(QualityClassification, OnlyTheSixExactTextsHaveAClass) {
  EXPECT_EQ(determineQualityType("640x360"), QualityType::SD);
  EXPECT_EQ(determineQualityType("1280x720"), QualityType::HD);
  EXPECT_EQ(determineQualityType("1920x1080"), QualityType::FullHD);
  EXPECT_EQ(determineQualityType("2048x1080"), QualityType::K2);
  EXPECT_EQ(determineQualityType("4096x2160"), QualityType::K4);
  EXPECT_EQ(determineQualityType("8192x4320"), QualityType::K8);
  for (const char* text : {"3840x2160", "1920X1080", " 1920x1080", "1920x1080p", "", "1920"}) {
    EXPECT_EQ(determineQualityType(text), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace ombrelia
