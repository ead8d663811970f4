#include <gtest/gtest.h>

#include <limits>

#include <nlohmann/json.hpp>

#include "analytics/AnalyticsInitMessage.hpp"
#include "analytics/AnalyticsMessage.hpp"

namespace ombrelia {
namespace {

TEST(AnalyticsEnvelopes, DifferOnlyInTheirDataAndAcceptAnEmptyKey) {
  auto init = AnalyticsInitMessage("", std::make_shared<InitMetrics>()).encode();
  auto periodic = AnalyticsMessage("", std::make_shared<PlayerMetrics>()).encode();
  ASSERT_TRUE(init.ok() && periodic.ok());
  EXPECT_EQ(*init.text,
            R"({"type":"analytics","key":"","data":{"timestamp":"","video_id":"","collection":"",)"
            R"("new_client_uuid":"","new_client_number":1}})");
  const auto record = platform::JsonWriter::write(PlayerMetrics().toJSON());
  EXPECT_EQ(*periodic.text, R"({"type":"analytics","key":"","data":)" + *record.text + "}");
}

TEST(AnalyticsEnvelopes, ARecordThatCannotBeWrittenGivesNoText) {
  auto metrics = std::make_shared<PlayerMetrics>();
  metrics->latency = std::numeric_limits<double>::infinity();
  auto result = AnalyticsMessage("key", metrics).encode();
  EXPECT_FALSE(result.ok());
  auto initMetrics = std::make_shared<InitMetrics>();
  initMetrics->setVideo_id("\xff");
  EXPECT_FALSE(AnalyticsInitMessage("key", initMetrics).encode().ok());
}

}  // namespace
}  // namespace ombrelia
