#include "platform/JsonWriter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

namespace ombrelia::platform {
namespace {

TEST(JsonWriter, RefusesNonFiniteNumbersAnywhere) {
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
    nlohmann::ordered_json doc;
    doc["list"] = nlohmann::ordered_json::array({1, nlohmann::ordered_json{{"x", bad}}});
    auto result = JsonWriter::write(doc);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.failure, JsonWriteFailure::nonFiniteNumber);
    EXPECT_FALSE(result.description().empty());
  }
}

TEST(JsonWriter, Utf8CheckRefusesOverlongSurrogatesAndTruncation) {
  EXPECT_TRUE(JsonWriter::isValidUtf8("plain é € 𝄞"));
  for (const char* bad : {"\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                          "\xe2\x82", "\x80", "\xf8\x88\x80\x80\x80"}) {
    EXPECT_FALSE(JsonWriter::isValidUtf8(bad)) << bad;
  }
}

}  // namespace
}  // namespace ombrelia::platform
