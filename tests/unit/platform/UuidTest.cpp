#include "platform/Uuid.hpp"

#include <gtest/gtest.h>

#include <set>

namespace ombrelia {
namespace {

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
