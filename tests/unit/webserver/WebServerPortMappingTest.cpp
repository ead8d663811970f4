// Port mapping against a NAT-PMP gateway written for the test, inside a network namespace of
// the test's own: the gateway address is one end of a veth pair that nothing links outside.

#include <gtest/gtest.h>

#include "platform/ApplicationLifecycle.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/PortMapper.hpp"
#include "support/ChildProcess.hpp"
#include "support/IsolatedNetwork.hpp"
#include "support/NatPmpResponder.hpp"
#include "support/OpenDescriptors.hpp"
#include "support/TextServer.hpp"
#include "support/WaitScale.hpp"
#include "support/WebServerEventLog.hpp"
#include "webserver/core/WebServer.hpp"
#include "webserver/core/WebServerLog.hpp"

using namespace ombrelia;
using namespace std::chrono_literals;
using test::IsolatedNetwork;
using test::NatPmpResponder;
using Request = test::NatPmpResponder::Request;

namespace {

constexpr uint8_t kTcpMapping = 2;

std::shared_ptr<WebServer> startMapped(const std::shared_ptr<test::WebServerEventLog>& events) {
  WebServerOptions options;
  options.requestNATPortMapping = true;
  return test::startTextServer(options, events);
}

size_t countMappings(const std::vector<Request>& requests, uint32_t lifetime) {
  size_t count = 0;
  for (const auto& r : requests) count += r.opcode == kTcpMapping && r.lifetime == lifetime;
  return count;
}

}  // namespace

TEST(WebServerPortMapping, MapsItsPortRenewsAtHalfTheLifetimeAndDeletesTheMappingAtStop) {
  if (IsolatedNetwork::ranInChild()) return;
  NatPmpResponder gateway(IsolatedNetwork::kGatewayAddress, NatPmpResponder::Mode::answer);
  ASSERT_TRUE(gateway.listening());
  gateway.setGrantedLifetime(4);  // renewed after two seconds
  auto events = std::make_shared<test::WebServerEventLog>();
  auto server = startMapped(events);
  const uint16_t port = server->port();
  const std::string first = "http://203.0.113.7:" + std::to_string(port) + "/";
  // The local URL names the host's end of the link to the gateway, not the gateway's end.
  EXPECT_EQ(server->serverURL(), "http://" + std::string(IsolatedNetwork::kHostAddress) + ":" +
                                     std::to_string(port) + "/");

  ASSERT_TRUE(events->waitForMappingUpdates(1, test::scaledWait(10s))) << "no mapping reported";
  EXPECT_EQ(events->mappingUpdates()[0].url, first);
  EXPECT_EQ(server->publicServerURL(), first);
  EXPECT_TRUE(events->waitForLine(kWebServerLogInfo, "WebServer now publicly reachable at " + first,
                                  test::scaledWait(1s)));
  const auto asked = gateway.requests();
  ASSERT_GE(asked.size(), 2u);
  EXPECT_EQ(asked[0].opcode, 0) << "the public address is asked first";
  EXPECT_EQ(asked[1].opcode, kTcpMapping);
  EXPECT_EQ(asked[1].internalPort, port);
  EXPECT_EQ(asked[1].suggestedPort, port) << "the same public port is asked for";
  EXPECT_EQ(asked[1].lifetime, platform::PortMapper::kDefaultLifetimeSeconds);

  // The gateway's address changes: the renewal brings the news to the delegate.
  gateway.setPublicAddress("203.0.113.8");
  ASSERT_TRUE(gateway.waitFor(test::scaledWait(10s), [](const auto& r) {
    return countMappings(r, platform::PortMapper::kDefaultLifetimeSeconds) >= 2;
  })) << "the mapping was not renewed";
  const auto renewed = gateway.requests();
  const auto firstMapping = asked[1].at;
  for (const auto& r : renewed) {
    if (r.opcode == kTcpMapping && r.at > firstMapping) {
      // Half the lifetime, and well before the mapping would lapse; the gap from either bound
      // leaves room for a loaded machine.
      EXPECT_GE(r.at - firstMapping, 1900ms) << "renewed before half the granted lifetime";
      EXPECT_LT(r.at - firstMapping, 3500ms) << "renewed too close to the mapping's expiry";
      break;
    }
  }
  ASSERT_TRUE(events->waitForMappingUpdates(2, test::scaledWait(10s)));
  const std::string second = "http://203.0.113.8:" + std::to_string(port) + "/";
  EXPECT_EQ(events->mappingUpdates()[1].url, second);
  EXPECT_TRUE(test::textServerAnswers(port));

  server->stop();
  EXPECT_EQ(server->publicServerURL(), std::nullopt);
  const auto all = gateway.requests();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.back().opcode, kTcpMapping);
  EXPECT_EQ(all.back().lifetime, 0u) << "stop must delete the mapping";
  EXPECT_EQ(all.back().internalPort, port);
  EXPECT_EQ(all.back().suggestedPort, 0) << "a deletion suggests no public port";
  const size_t updates = events->mappingUpdates().size();
  EXPECT_FALSE(events->waitForMappingUpdates(updates + 1, 500ms)) << "reported after stop";
}

TEST(WebServerPortMapping, LogsARefusingGatewaysErrorAndKeepsServing) {
  if (IsolatedNetwork::ranInChild()) return;
  NatPmpResponder gateway(IsolatedNetwork::kGatewayAddress, NatPmpResponder::Mode::refuse);
  ASSERT_TRUE(gateway.listening());
  gateway.setResultCode(2);  // not authorised
  auto events = std::make_shared<test::WebServerEventLog>();
  auto server = startMapped(events);
  ASSERT_TRUE(events->waitForMappingUpdates(1, test::scaledWait(10s)))
      << "the refusal was not reported";
  EXPECT_EQ(events->mappingUpdates()[0].url, std::nullopt);
  // libnatpmp's code for the gateway's "not authorised".
  EXPECT_TRUE(
      events->waitForLine(kWebServerLogError, "DNS service error -51", test::scaledWait(1s)));
  EXPECT_EQ(server->publicServerURL(), std::nullopt);
  EXPECT_TRUE(test::textServerAnswers(server->port()));
  server->stop();
}

TEST(WebServerPortMapping, RetransmitsToASilentGatewayOnADoublingScheduleThenGivesUp) {
  if (IsolatedNetwork::ranInChild()) return;
  platform::PortMapper::setMaxAttemptsForTesting(4);  // 250 + 500 + 1000 + 2000 ms
  NatPmpResponder gateway(IsolatedNetwork::kGatewayAddress, NatPmpResponder::Mode::silent);
  ASSERT_TRUE(gateway.listening());
  auto events = std::make_shared<test::WebServerEventLog>();
  auto server = startMapped(events);
  EXPECT_TRUE(test::textServerAnswers(server->port()));
  ASSERT_TRUE(events->waitForMappingUpdates(1, test::scaledWait(20s))) << "never gave up";
  EXPECT_TRUE(
      events->waitForLine(kWebServerLogError, "DNS service error -7", test::scaledWait(1s)));
  EXPECT_EQ(server->publicServerURL(), std::nullopt);
  const auto sent = gateway.requests();
  ASSERT_GE(sent.size(), 4u);
  // Threads can be late, never early: each wait is at least its share of the schedule.
  auto wait = 250ms;
  for (size_t i = 1; i < 4; ++i, wait *= 2) {
    EXPECT_EQ(sent[i].opcode, 0);
    EXPECT_GE(sent[i].at - sent[i - 1].at, wait - 25ms) << "attempt " << i + 1 << " came early";
  }
  EXPECT_TRUE(test::textServerAnswers(server->port()));
  server->stop();
}

TEST(WebServerPortMapping, StartsWithoutAGatewayAndLogsThatNoMappingCanBeMade) {
  if (IsolatedNetwork::ranInChild()) return;
  ASSERT_EQ(test::ChildProcess::run({"ip", "route", "del", "default"}).exitCode, 0);
  auto events = std::make_shared<test::WebServerEventLog>();
  auto server = startMapped(events);
  ASSERT_TRUE(server->isRunning());
  // libnatpmp's "cannot get the gateway".
  EXPECT_TRUE(events->waitForLine(kWebServerLogError, "Failed creating NAT port mapping (-3)",
                                  test::scaledWait(1s)));
  EXPECT_TRUE(test::textServerAnswers(server->port()));
  EXPECT_EQ(server->publicServerURL(), std::nullopt);
  server->stop();
}

TEST(WebServerPortMapping, LeavesNoSocketOpenAcrossStartsAndForegroundReturnsWithoutAGateway) {
  if (IsolatedNetwork::ranInChild()) return;
  ASSERT_EQ(test::ChildProcess::run({"ip", "route", "del", "default"}).exitCode, 0);
  auto& lifecycle = platform::ApplicationLifecycle::shared();
  auto events = std::make_shared<test::WebServerEventLog>();
  // A first start and stop opens what the process keeps for good (queues, loggers).
  auto server = startMapped(events);
  server->stop();
  const size_t before = test::openDescriptorCount();
  constexpr int kRounds = 8;
  WebServerOptions options;
  options.requestNATPortMapping = true;
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_TRUE(server->startWithOptions(options));
    server->stop();
  }
  EXPECT_EQ(test::openDescriptorCount(), before) << "after " << kRounds << " starts and stops";

  // Each return to the foreground asks for the mapping again.
  ASSERT_TRUE(server->startWithOptions(options));
  for (int i = 0; i < kRounds; ++i) {
    lifecycle.enterBackground();
    platform::DispatchQueue::main()->drain();
    ASSERT_FALSE(server->isListening());
    lifecycle.enterForeground();
    platform::DispatchQueue::main()->drain();
    ASSERT_TRUE(server->isListening());
  }
  server->stop();
  EXPECT_EQ(test::openDescriptorCount(), before)
      << "after " << kRounds << " returns to the foreground";
  size_t failures = 0;
  for (const auto& line : events->lines()) {
    failures += line.text == "Failed creating NAT port mapping (-3)";
  }
  EXPECT_EQ(failures, 2u * kRounds + 2) << "every start asks for a mapping";
}

TEST(WebServerPortMapping, StopWaitsForAReportUnderWaySoNoMappingCallFollowsIt) {
  if (IsolatedNetwork::ranInChild()) return;
  NatPmpResponder gateway(IsolatedNetwork::kGatewayAddress, NatPmpResponder::Mode::answer);
  ASSERT_TRUE(gateway.listening());
  auto events = std::make_shared<test::WebServerEventLog>();
  events->holdAtLine("WebServer now publicly reachable at ");
  auto server = startMapped(events);
  ASSERT_TRUE(events->waitUntilHeld(test::scaledWait(10s))) << "no mapping reported";
  const auto stop =
      events->stopDuringHeldReport(*server, test::WebServerEventLog::CallKind::mappingUpdate);
  EXPECT_FALSE(stop.returnedWhileHeld)
      << "stop() returned with a report on its way to the delegate";
  EXPECT_FALSE(stop.calledAfterReturn) << "the delegate heard of the mapping after stop() returned";
}

namespace {

// Stops the server from inside its first mapping report.
class StoppingDelegate : public test::WebServerEventLog {
 public:
  void webServerDidUpdateNATPortMapping(WebServer& server) override {
    test::WebServerEventLog::webServerDidUpdateNATPortMapping(server);
    server.stop();
  }
};

}  // namespace

TEST(WebServerPortMapping, ADelegateMayStopTheServerFromInsideAMappingReport) {
  if (IsolatedNetwork::ranInChild()) return;
  NatPmpResponder gateway(IsolatedNetwork::kGatewayAddress, NatPmpResponder::Mode::answer);
  ASSERT_TRUE(gateway.listening());
  auto events = std::make_shared<StoppingDelegate>();
  auto server = startMapped(events);
  ASSERT_TRUE(events->waitForLine(kWebServerLogInfo, "WebServer stopped", test::scaledWait(10s)))
      << "the stop called from the report did not finish";
  EXPECT_FALSE(server->isRunning());
  EXPECT_EQ(events->mappingUpdates().size(), 1u);
}
