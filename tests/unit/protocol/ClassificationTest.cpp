#include <gtest/gtest.h>

#include "protocol/QualityType.hpp"

namespace ombrelia {
namespace {

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
