#include <gtest/gtest.h>

#include <limits>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/JsonWriter.hpp"
#include "protocol/AnalyticsInitMessage.hpp"
#include "protocol/AnalyticsMessage.hpp"
#include "protocol/PlayerMetrics.hpp"
#include "protocol/QualityMetrics.hpp"

namespace ombrelia {
namespace {

std::string text(const nlohmann::ordered_json& document) {
  return platform::JsonWriter::write(document).text.value_or("<unwritable>");
}

// The wire forms the analytics backend reads, key for key.
const std::string kBucket = R"({"MB_peer":0,"MB_server":0,"sec_peer":0,"sec_server":0})";
const std::string kQualities = R"({"SD":0,"HD":0,"FullHD":0,"2K":0,"4K":0,"8K":0,"audio":0})";
const std::string kConnected =
    R"({"MB_peer":0,"MB_server":0,"sec_peer":0,"sec_server":0,"MB_peer_city":0,)"
    R"("MB_peer_country":0,"MB_peer_ip":0,"MB_peer_region":0,"timeHQ":0,"timeLQ":0,)"
    R"("bestQuality":0,"otherQualities":0,"represented_client":1,"phone":)" +
    kBucket + R"(,"tablet":)" + kBucket + R"(,"desktop":)" + kBucket + R"(,"tv":)" + kBucket +
    R"(,"wifi":)" + kBucket + R"(,"cellular":)" + kBucket + R"(,"qualities":)" + kQualities +
    R"(,"isStalled":0,"nbrStalls":0,"nbrQualityChange":0,"current_buffer":0.0})";

std::string freshRecord(const std::string& peerId) {
  return R"({"latency":0.0,"seg_ext":"","seg_nbr":0,"seg_dur":0.0,"q_nbr":0,"protocol":"hls",)"
         R"("stream_type":"","nReq":0,"nav":"ios","video_id":"","timestamp":"",)"
         R"("current_buffer":0.0,"timeHQ":0,"timeLQ":0,"bestQuality":0,"otherQualities":0,)"
         R"("nbrQualityChange":0,"qualities":)" +
         kQualities +
         R"(,"HTTP_errors":{},"nReq_server":0,"ttfb_server":0.0,"sec_server":0,"MB_server":0,)"
         R"("B_manifest":0,"MB_peer":0,"nReq_p2p":0,"ttfb_peer_city":0.0,"ttfb_peer_region":0.0,)"
         R"("ttfb_peer_country":0.0,"ttfb_peer_ip":0.0,"ttfb_peer":0.0,"connected":)" +
         kConnected +
         R"(,"sec_peer":0,"MB_peer_city":0,"MB_peer_region":0,"MB_peer_country":0,)"
         R"("MB_peer_ip":0,)" +
         peerId +
         R"("nbrStallsP2P":0,"nbrStallsHTTP":0,"nbrStalls":0,"sec_rebuff_http":0,)"
         R"("sec_rebuff_p2p":0,"sec_rebuff":0,"isStalled":0,"wifi":)" +
         kBucket + R"(,"cellular":)" + kBucket + R"(,"phone":)" + kBucket + R"(,"tablet":)" +
         kBucket + R"(,"desktop":)" + kBucket + R"(,"tv":)" + kBucket +
         R"(,"client_uuid":"","collection":"","represented_client":1,"collections":[]})";
}

TEST(MetricsRecordJson, FreshRecordWritesFiftyFourKeysAndThePeerIdInUpperCaseOnlyWhenKnown) {
  PlayerMetrics record;
  EXPECT_EQ(text(record.toJSON()), freshRecord(""));
  EXPECT_EQ(record.toJSON().size(), 54u);
  record.peer_id = Uuid::parse("5b1e2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3");
  EXPECT_EQ(text(record.toJSON()),
            freshRecord(R"("peer_id":"5B1E2C3D-4E5F-4A7B-8C9D-AEBFC0D1E2F3",)"));
}

TEST(MetricsRecordJson, ErrorCountsAreAnObjectKeyedByDecimalCodes) {
  PlayerMetrics record;
  record.addError(-1004);
  record.addError(-1004);
  record.addError(500);
  const auto errors = record.toJSON()["HTTP_errors"];
  EXPECT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors["-1004"].get<int64_t>(), 2);
  EXPECT_EQ(errors["500"].get<int64_t>(), 1);
}

TEST(MetricsRecordJson, InitEnvelopeCarriesFourTextsAndTheNumberOne) {
  auto init = std::make_shared<InitMetrics>();
  EXPECT_EQ(*AnalyticsInitMessage("key", init).encode().text,
            R"({"type":"analytics","key":"key","data":{"timestamp":"","video_id":"",)"
            R"("collection":"","new_client_uuid":"","new_client_number":1}})");
}

TEST(MetricsRecordJson, UnwritableFigureOrTextMakesTheWholeEnvelopeUnwritable) {
  auto record = std::make_shared<PlayerMetrics>();
  record->ttfb_peer = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(AnalyticsMessage("key", record).encode().ok());
  record->ttfb_peer = 0;
  record->setCurrent_buffer(std::numeric_limits<double>::quiet_NaN(), true);
  EXPECT_FALSE(AnalyticsMessage("key", record).encode().ok()) << "nested in connected too";
  auto init = std::make_shared<InitMetrics>();
  init->setVideo_id("\xff");
  EXPECT_FALSE(AnalyticsInitMessage("key", init).encode().ok()) << "text that is not UTF-8";
}

}  // namespace
}  // namespace ombrelia
