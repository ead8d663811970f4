#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <ombrelia/OLoggerConfig.hpp>
#include <ombrelia/OmbreliaConfig.hpp>

#include "analytics/AnalyticsService.hpp"
#include "peers/PeerList.hpp"
#include "platform/DeviceModel.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/MonotonicClock.hpp"
#include "platform/Reachability.hpp"
#include "support/AnalyticsReportLog.hpp"

namespace ombrelia {
namespace {

using nlohmann::json;
using platform::MonotonicClock;

SegmentInfo video(double duration, int64_t bandwidth = 800'000, int64_t best = 800'000) {
  return SegmentInfo(SegmentType::video, bandwidth, best, "1280x720", 0, 1, duration);
}

const Uuid kPersonal = *Uuid::parse("5B1E2C3D-4E5F-4A7B-8C9D-AEBFC0D1E2F3");

// Each test runs in its own process, so the configuration, the peer list and the clock start
// fresh.
class AnalyticsServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OmbreliaConfig::configure("customer");
    OmbreliaConfig::shared().setVideoID("video-1");
    platform::Reachability::overrideFlags(platform::Reachability::kReachable);
    platform::DeviceModel::overrideIdentifier("AppleTV5,3");
    service = AnalyticsService::create("customer");
  }

  // Fires the report timer and waits until its tick has run on the main queue.
  void tick() {
    MonotonicClock::advance(AnalyticsService::kReportInterval);
    platform::DispatchQueue::main()->sync([] {});
  }

  json data(size_t index) const {
    const auto entries = log.entries();
    EXPECT_LT(index, entries.size());
    if (index >= entries.size()) return json::object();
    return json::parse(entries[index].json)["data"];
  }

  test::AnalyticsReportLog log;
  std::shared_ptr<AnalyticsService> service;
};

TEST_F(AnalyticsServiceTest, FirstReportPostsTheInitRecordThenThePeriodicOne) {
  PeerList::shared().setPersonalUUID(kPersonal);
  OmbreliaConfig::shared().setCollections({"sports", "live"});
  service->newHttpRequest();
  tick();
  service->newP2PRequest();
  tick();

  const auto entries = log.entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].notification, "AnalyticsInitMessage");
  EXPECT_EQ(entries[1].notification, "AnalyticsMessage");
  EXPECT_EQ(entries[2].notification, "AnalyticsMessage") << "the init record goes once";

  const json envelope = json::parse(entries[0].json);
  EXPECT_EQ(envelope["type"], "analytics");
  EXPECT_EQ(envelope["key"], "customer");
  const json init = data(0);
  EXPECT_EQ(init["new_client_uuid"], "5b1e2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3");
  EXPECT_EQ(init["video_id"], "video-1");
  EXPECT_EQ(init["collection"], "");
  EXPECT_EQ(init["new_client_number"], 1);

  const json first = data(1);
  EXPECT_EQ(first["timestamp"], init["timestamp"]) << "one time stamps both records of a tick";
  const auto stamp = first["timestamp"].get<std::string>();
  const std::string shape = "dddd-dd-ddTdd:dd:dd.dddZ";  // UTC with milliseconds
  ASSERT_EQ(stamp.size(), shape.size()) << stamp;
  for (size_t i = 0; i < shape.size(); ++i)
    EXPECT_TRUE(shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(stamp[i])) != 0
                                : stamp[i] == shape[i])
        << stamp;
  EXPECT_EQ(first["peer_id"], "5B1E2C3D-4E5F-4A7B-8C9D-AEBFC0D1E2F3");
  EXPECT_EQ(first["client_uuid"], "5b1e2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3");
  EXPECT_EQ(first["video_id"], "video-1");
  EXPECT_EQ(first["collections"], json::array({"sports", "live"}));
  EXPECT_EQ(first["nReq_server"], 1);
  EXPECT_EQ(first["nReq"], 1);
  const json second = data(2);
  EXPECT_EQ(second["nReq_server"], 0) << "each interval starts from a fresh record";
  EXPECT_EQ(second["nReq_p2p"], 1);
}

TEST_F(AnalyticsServiceTest, InitRecordGoesAgainUntilTheTrackerConnectionHasTakenIt) {
  log.setTakesInit(false);
  PeerList::shared().setPersonalUUID(kPersonal);
  tick();  // the connection is down: the text is dropped, nothing takes it
  tick();
  log.takeLastInit();
  tick();
  tick();
  std::vector<std::string> names;
  for (const auto& entry : log.entries()) names.push_back(entry.notification);
  EXPECT_EQ(names, (std::vector<std::string>{"AnalyticsInitMessage", "AnalyticsMessage",
                                             "AnalyticsInitMessage", "AnalyticsMessage",
                                             "AnalyticsMessage", "AnalyticsMessage"}));
  EXPECT_EQ(data(2)["new_client_uuid"], "5b1e2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3");
  EXPECT_EQ(data(2)["timestamp"], data(3)["timestamp"])
      << "a record sent again carries the time of the report it precedes";
}

TEST_F(AnalyticsServiceTest, TextsThatAreNotUtf8AreMendedSoTheRecordIsStillWritten) {
  OmbreliaConfig::shared().setVideoID("vid\xC3");
  OmbreliaConfig::shared().setCollections({"ok", "bad\xFF"});
  PeerList::shared().setPersonalUUID(kPersonal);
  service->setSegmentExtension("t\xE9");       // an extension decoded from "t%E9"
  service->setStreamType("live\xED\xA0\x80");  // an encoded surrogate
  service->newHttpRequest();
  tick();
  const auto entries = log.entries();
  ASSERT_EQ(entries.size(), 2u);
  ASSERT_FALSE(entries[0].json.empty()) << "the init record is written";
  ASSERT_FALSE(entries[1].json.empty()) << "the interval's record is written";
  const json record = data(1);
  EXPECT_EQ(record["seg_ext"], "t\uFFFD");
  EXPECT_EQ(record["stream_type"], "live\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(record["video_id"], "vid\uFFFD");
  EXPECT_EQ(record["collections"], json::array({"ok", "bad\uFFFD"}));
  EXPECT_EQ(record["nReq"], 1) << "the figures travel with the mended texts";
  EXPECT_EQ(data(0)["video_id"], "vid\uFFFD");
}

TEST_F(AnalyticsServiceTest, DelegateGivesTheLatencyAndNonFiniteFiguresBecomeZero) {
  struct Latency : AnalyticsServiceProtocol {
    double value = 0;
    double getLatency() override { return value; }
  };
  auto owner = std::make_shared<Latency>();
  owner->value = 42.5;
  service->setDelegate(owner);
  PeerList::shared().setPersonalUUID(kPersonal);
  service->httpSegmentStartDelay(std::numeric_limits<double>::infinity());
  service->p2pSegmentStartDelay(35.0, PeerType::city);
  tick();
  owner->value = std::nan("");
  tick();
  owner.reset();
  tick();
  const auto entries = log.entries();
  ASSERT_EQ(entries.size(), 4u);
  for (const auto& entry : entries) EXPECT_FALSE(entry.json.empty()) << "every record written";
  EXPECT_EQ(data(1)["latency"], 42.5);
  EXPECT_EQ(data(1)["ttfb_server"], 0.0);
  EXPECT_EQ(data(1)["ttfb_peer_city"], 35.0);
  EXPECT_EQ(data(2)["latency"], 0.0);
  EXPECT_EQ(data(3)["latency"], 0.0) << "held weakly: a released delegate answers nothing";
}

// Every count made while reports are taken lands in exactly one record: none lost, none twice.
TEST_F(AnalyticsServiceTest, CountersStayExactUnderConcurrentCallsAndReports) {
  PeerList::shared().setPersonalUUID(kPersonal);
  constexpr int kThreads = 6;
  constexpr int kCalls = 400;
  std::atomic<bool> counting{true};
  std::thread reporter([&] {
    while (counting.load()) service->afterSleep();
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        service->newHttpRequest();
        service->newP2PRequest();
        service->addError(t % 2 == 0 ? -1004 : -1001);
        service->addMediaDataReceived(2048, false, video(6.0), PeerType::city);
        service->addDataSent(100, PeerType::ip);
        service->segmentRequested(i % 2 == 0 ? "1280x720" : "1920x1080");
        service->setSegmentExtension(t % 2 == 0 ? "ts" : "m4s");
        service->onBuffering(Decision::http);
        (void)service->getGreenScore();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  counting = false;
  reporter.join();
  service->afterSleep();

  constexpr int64_t kTotal = int64_t{kThreads} * kCalls;
  int64_t requests = 0, errors = 0, bytes = 0, stalls = 0;
  for (const auto& entry : log.entries()) {
    if (entry.notification != "AnalyticsMessage") continue;
    const json record = json::parse(entry.json)["data"];
    requests += record["nReq"].get<int64_t>();
    for (const auto& [code, count] : record["HTTP_errors"].items()) errors += count.get<int64_t>();
    bytes += record["tv"]["MB_peer"].get<int64_t>();
    stalls += record["nbrStallsHTTP"].get<int64_t>();
  }
  EXPECT_EQ(requests, 2 * kTotal);
  EXPECT_EQ(errors, kTotal);
  EXPECT_EQ(bytes, 2 * kTotal);
  EXPECT_EQ(stalls, kTotal);
  EXPECT_EQ(service->getDataReceivedP2P(), 2048 * kTotal);
  EXPECT_EQ(service->getDataSent(), 100 * kTotal);
}

}  // namespace
}  // namespace ombrelia
