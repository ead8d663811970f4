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

TEST(JsonWriter, RefusesTextThatIsNotUtf8InValuesAndKeysAtAnyDepth) {
  nlohmann::ordered_json inValue;
  inValue["a"] = nlohmann::ordered_json::array({"ok", nlohmann::ordered_json{{"b", "\xc0\xaf"}}});
  nlohmann::ordered_json inKey;
  inKey["a"] = nlohmann::ordered_json{{"\xed\xa0\x80", 1}};
  for (const auto& doc : {inValue, inKey}) {
    auto result = JsonWriter::write(doc);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.failure, JsonWriteFailure::invalidUtf8);
  }
  nlohmann::ordered_json fine;
  fine["é"] = "𝄞";
  EXPECT_EQ(JsonWriter::write(fine).text, "{\"é\":\"𝄞\"}");
}

}  // namespace
}  // namespace ombrelia::platform
