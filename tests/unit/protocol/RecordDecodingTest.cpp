#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "platform/JsonWriter.hpp"
#include "protocol/AnalyticsInitMessage.hpp"
#include "protocol/AnalyticsMessage.hpp"
#include "protocol/PlayerMetrics.hpp"

namespace ombrelia {
namespace {

using nlohmann::ordered_json;

std::string writtenText(const ordered_json& document) {
  return platform::JsonWriter::write(document).text.value_or("<unwritable>");
}

PlayerMetrics filledRecord() {
  PlayerMetrics record;
  record.updateMedia(4096, false, SegmentInfo(SegmentType::video, 2, 2, "4096x2160", 0, 1, 6.0),
                     PeerType::region, {DeviceType::iPad, NetworkType::cellular, true});
  record.addError(-1001);
  record.setNbrStalls(2, true);
  record.setCurrent_buffer(3.25, false);
  record.latency = 12.5;
  record.peer_id = Uuid::random();
  record.collections = {"a", "b"};
  record.timestamp = "2026-12-06T18:00:00.123Z";
  return record;
}

TEST(RecordDecoding, WrittenRecordsReadBackTheSame) {
  const PlayerMetrics record = filledRecord();
  const auto decoded = PlayerMetrics::fromJSON(record.toJSON());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(writtenText(decoded->toJSON()), writtenText(record.toJSON()));
  EXPECT_EQ(decoded->connected.nbrStalls, 2);

  const AnalyticsMessage message("key", std::make_shared<PlayerMetrics>(record));
  const auto envelope = AnalyticsMessage::decode(*message.encode().text);
  ASSERT_TRUE(envelope);
  EXPECT_EQ(*envelope->encode().text, *message.encode().text);

  auto init = std::make_shared<InitMetrics>();
  init->setNew_client_uuid("abc");
  const AnalyticsInitMessage initMessage("key", init);
  const auto initEnvelope = AnalyticsInitMessage::decode(*initMessage.encode().text);
  ASSERT_TRUE(initEnvelope);
  EXPECT_EQ(*initEnvelope->encode().text, *initMessage.encode().text);
}

TEST(RecordDecoding, EveryKeyButPeerIdIsRequired) {
  const ordered_json full = filledRecord().toJSON();
  for (const auto& [key, value] : full.items()) {
    ordered_json without = full;
    without.erase(key);
    EXPECT_EQ(PlayerMetrics::fromJSON(without).has_value(), key == "peer_id") << key;
  }
  ordered_json nullId = full;
  nullId["peer_id"] = nullptr;
  ASSERT_TRUE(PlayerMetrics::fromJSON(nullId));
  EXPECT_FALSE(PlayerMetrics::fromJSON(nullId)->peer_id);

  ordered_json extra = full;
  extra["unheard_of"] = 1;
  EXPECT_TRUE(PlayerMetrics::fromJSON(extra)) << "extra members are ignored";
}

TEST(RecordDecoding, WrongTypesAndMalformedNamesFailTheWholeRecord) {
  const ordered_json full = filledRecord().toJSON();
  auto withValue = [&](const char* key, ordered_json value) {
    ordered_json changed = full;
    changed[key] = std::move(value);
    return PlayerMetrics::fromJSON(changed).has_value();
  };
  EXPECT_FALSE(withValue("nReq", "1"));
  EXPECT_FALSE(withValue("nReq", 1.5));
  EXPECT_FALSE(withValue("latency", "fast"));
  EXPECT_FALSE(withValue("peer_id", "not-an-identifier"));
  EXPECT_FALSE(withValue("HTTP_errors", ordered_json{{"x12", 1}}));
  EXPECT_FALSE(withValue("HTTP_errors", ordered_json{{"12", "one"}}));
  EXPECT_FALSE(withValue("collections", ordered_json::array({1})));
  EXPECT_TRUE(withValue("HTTP_errors", ordered_json{{"-7", 3}}));

  ordered_json qualities = full["qualities"];
  qualities.erase("8K");
  qualities["K8"] = 0;
  EXPECT_FALSE(withValue("qualities", qualities)) << "K8 is written 8K";
  EXPECT_FALSE(PlayerMetrics::fromJSON(ordered_json::array()));
}

}  // namespace
}  // namespace ombrelia
