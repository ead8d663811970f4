// The init record through the real signalling client and transport to a test tracker: it counts
// as sent only once the connection has written it.
#include <gtest/gtest.h>

#include <ombrelia/OmbreliaConfig.hpp>

#include "analytics/AnalyticsService.hpp"
#include "peers/PeerList.hpp"
#include "signalling/NativeWebSocket.hpp"
#include "signalling/SignalingClient.hpp"
#include "support/TestCertificates.hpp"
#include "support/TestTracker.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;

bool isInit(const test::TestTracker::Received& received) {
  return received.text.find("\"new_client_uuid\"") != std::string::npos;
}

size_t initsReceived(const test::TestTracker& tracker) {
  size_t n = 0;
  for (const auto& received : tracker.received("analytics")) n += isInit(received) ? 1 : 0;
  return n;
}

TEST(InitRecordDelivery, ReportsWhileTheTrackerIsUnreachableDoNotUseUpTheInitRecord) {
  test::TestCertificates certificates;
  certificates.trustInProcess();
  OmbreliaConfig::configure("customer");
  PeerList::shared().setPersonalUUID(*Uuid::parse("5B1E2C3D-4E5F-4A7B-8C9D-AEBFC0D1E2F3"));
  test::TestTracker tracker(
      test::TestTracker::Settings{certificates.issue({"localhost"}, {"127.0.0.1"})});
  auto service = AnalyticsService::create("customer");
  service->stopTimer();  // the reports below are made by hand
  auto socket = NativeWebSocket::create(tracker.url());
  auto client = SignalingClient::create(socket);

  service->afterSleep();  // not connected: the text is dropped
  service->afterSleep();
  EXPECT_FALSE(service->initMetricsSent()) << "a dropped init record counted as sent";

  client->connect();
  ASSERT_TRUE(tracker.waitUntil([&] { return tracker.handshakeCount() == 1; }));
  service->afterSleep();
  ASSERT_TRUE(tracker.waitUntil([&] { return initsReceived(tracker) == 1; }, test::scaledWait(10s)))
      << "the init record never reached the tracker";
  // The connection reports the write on its delegate queue, a moment after the tracker read it.
  const auto deadline = std::chrono::steady_clock::now() + test::scaledWait(10s);
  while (!service->initMetricsSent() && std::chrono::steady_clock::now() < deadline)
    socket->delegateQueue()->sync([] {});
  ASSERT_TRUE(service->initMetricsSent());
  service->afterSleep();
  ASSERT_TRUE(tracker.waitUntil([&] { return tracker.received("analytics").size() >= 3; },
                                test::scaledWait(10s)));
  EXPECT_EQ(initsReceived(tracker), 1u) << "once taken, the init record goes no more";
  EXPECT_TRUE(isInit(tracker.received("analytics").front())) << "the init record comes first";
}

}  // namespace
}  // namespace ombrelia
