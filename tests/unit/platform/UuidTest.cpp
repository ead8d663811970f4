#include "platform/Uuid.hpp"

#include <gtest/gtest.h>

#include <set>

namespace ombrelia {
namespace {

constexpr const char* kLower = "0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3";
constexpr const char* kUpper = "0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F3";

TEST(Uuid, ParsesEitherCaseAndWritesBoth) {
  auto lower = Uuid::parse(kLower);
  auto mixed = Uuid::parse("0a1B2c3D-4e5F-6a7B-8c9D-aEbFc0D1e2F3");
  ASSERT_TRUE(lower && mixed);
  EXPECT_EQ(*lower, *mixed);
  EXPECT_EQ(lower->lowercaseString(), kLower);
  EXPECT_EQ(lower->uuidString(), kUpper);
  EXPECT_EQ(lower->bytes()[0], 0x0a);
  EXPECT_EQ(lower->bytes()[15], 0xf3);
}

TEST(Uuid, RefusesEveryOtherForm) {
  for (const char* text :
       {"", "0a1b2c3d4e5f6a7b8c9daebfc0d1e2f3", "{0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3}",
        " 0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3", "0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f",
        "0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2fg", "0a1b2c3d_4e5f-6a7b-8c9d-aebfc0d1e2f3",
        "0a1b2c3-d4e5f-6a7b-8c9d-aebfc0d1e2f3"}) {
    EXPECT_FALSE(Uuid::parse(text)) << text;
  }
}

TEST(Uuid, RandomIdentifiersAreVersionFourAndDistinct) {
  std::set<Uuid> seen;
  for (int i = 0; i < 100; ++i) {
    Uuid uuid = Uuid::random();
    EXPECT_EQ(uuid.bytes()[6] >> 4, 4);
    EXPECT_EQ(uuid.bytes()[8] & 0xC0, 0x80);
    EXPECT_EQ(Uuid::parse(uuid.uuidString()), uuid);
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
}  // namespace ombrelia
