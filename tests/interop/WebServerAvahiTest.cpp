// Service publication against the system's own mDNS daemon (avahi-daemon, on a D-Bus system
// bus), both started by the test inside a network namespace of its own, and found by an
// independent browser (avahi-browse).

#include <gtest/gtest.h>

#include <algorithm>

#include "support/IsolatedNetwork.hpp"
#include "support/MdnsDaemons.hpp"
#include "support/TextServer.hpp"
#include "support/WaitScale.hpp"
#include "support/WebServerEventLog.hpp"
#include "webserver/core/WebServer.hpp"
#include "webserver/core/WebServerLog.hpp"

using namespace ombrelia;
using namespace std::chrono_literals;
using test::IsolatedNetwork;
using test::MdnsDaemons;

namespace {

// Registration probes the name on the link before it is established (about a second).
constexpr auto kRegistrationBound = 20s;

std::shared_ptr<WebServer> startPublished(const std::shared_ptr<test::WebServerEventLog>& events,
                                          WebServerOptions options) {
  return test::startTextServer(std::move(options), events);
}

WebServerOptions publishing(std::optional<std::string> name) {
  WebServerOptions options;
  options.bonjourName = std::move(name);
  return options;
}

std::optional<MdnsDaemons::Found> find(const std::vector<MdnsDaemons::Found>& found,
                                       const std::string& name) {
  for (const auto& f : found) {
    if (f.name == name) return f;
  }
  return std::nullopt;
}

std::string localURL(uint16_t port) {
  return "http://" + std::string(MdnsDaemons::kHostName) + ".local:" + std::to_string(port) + "/";
}

}  // namespace

TEST(WebServerAvahi, PublishesSoThatAnIndependentBrowserResolvesItAndWithdrawsItAtStop) {
  if (IsolatedNetwork::ranInChild()) return;
  MdnsDaemons daemons;
  ASSERT_EQ(daemons.error(), "");
  auto events = std::make_shared<test::WebServerEventLog>();
  auto server = startPublished(events, publishing("Ombrelia Test"));
  const uint16_t port = server->port();

  ASSERT_TRUE(events->waitForRegistrations(1, kRegistrationBound)) << "never resolved";
  EXPECT_EQ(events->registrations()[0].url, localURL(port));
  EXPECT_EQ(server->bonjourServerURL(), localURL(port));
  EXPECT_EQ(server->bonjourName(), "Ombrelia Test");
  EXPECT_EQ(server->bonjourType(), "_http._tcp");
  EXPECT_TRUE(events->waitForLine(
      kWebServerLogVerbose, "Bonjour registration complete for WebServer", test::scaledWait(1s)));
  EXPECT_TRUE(events->waitForLine(kWebServerLogInfo,
                                  "WebServer now locally reachable at " + localURL(port),
                                  test::scaledWait(1s)));

  MdnsDaemons::Browser browser("_http._tcp");
  const auto found = browser.waitForResolved("Ombrelia Test", kRegistrationBound);
  ASSERT_TRUE(found) << "avahi-browse does not see the service";
  EXPECT_EQ(found->type, "_http._tcp");
  EXPECT_EQ(found->host, std::string(MdnsDaemons::kHostName) + ".local");
  EXPECT_EQ(found->address, IsolatedNetwork::kHostAddress);
  EXPECT_EQ(found->port, port);
  EXPECT_TRUE(test::textServerAnswers(port));

  server->stop();
  EXPECT_EQ(server->bonjourServerURL(), std::nullopt);
  EXPECT_EQ(server->bonjourName(), std::nullopt);
  EXPECT_TRUE(browser.waitForRemoved("Ombrelia Test", kRegistrationBound)) << "still published";
}

TEST(WebServerAvahi, RenamesASecondServerPublishingATakenNameAsTheDaemonSuggests) {
  if (IsolatedNetwork::ranInChild()) return;
  MdnsDaemons daemons;
  ASSERT_EQ(daemons.error(), "");
  // The first publishes under its server name (an empty service name), the second asks for
  // that same name; both under a type of their own.
  WebServerOptions first = publishing("");
  first.serverName = "Ombrelia Test";
  first.bonjourType = "_ombrelia._tcp";
  WebServerOptions second = publishing("Ombrelia Test");
  second.bonjourType = "_ombrelia._tcp";
  auto firstEvents = std::make_shared<test::WebServerEventLog>();
  auto firstServer = startPublished(firstEvents, first);
  ASSERT_TRUE(firstEvents->waitForRegistrations(1, kRegistrationBound));
  auto secondEvents = std::make_shared<test::WebServerEventLog>();
  auto secondServer = startPublished(secondEvents, second);
  ASSERT_TRUE(secondEvents->waitForRegistrations(1, kRegistrationBound));

  EXPECT_EQ(firstServer->bonjourName(), "Ombrelia Test");
  EXPECT_EQ(secondServer->bonjourName(), "Ombrelia Test #2");
  EXPECT_EQ(secondEvents->registrations()[0].name, "Ombrelia Test #2");
  EXPECT_EQ(secondServer->bonjourType(), "_ombrelia._tcp");
  EXPECT_EQ(secondServer->bonjourServerURL(), localURL(secondServer->port()));
  const auto found = MdnsDaemons::browse("_ombrelia._tcp");
  const auto a = find(found, "Ombrelia Test");
  const auto b = find(found, "Ombrelia Test #2");
  ASSERT_TRUE(a && b) << "the browser does not see both";
  EXPECT_EQ(a->port, firstServer->port());
  EXPECT_EQ(b->port, secondServer->port());
}

TEST(WebServerAvahi, KeepsServingAndLogsTheErrorWithoutABusOrWithoutADaemon) {
  if (IsolatedNetwork::ranInChild()) return;
  for (const bool withBus : {false, true}) {
    SCOPED_TRACE(withBus ? "a bus without avahi-daemon" : "no bus at all");
    std::unique_ptr<MdnsDaemons> bus;
    if (withBus) {
      bus = std::make_unique<MdnsDaemons>(MdnsDaemons::Start::busOnly);
      ASSERT_EQ(bus->error(), "");
    }
    auto events = std::make_shared<test::WebServerEventLog>();
    auto server = startPublished(events, publishing("Ombrelia Test"));
    ASSERT_TRUE(server->isRunning());
    EXPECT_TRUE(test::textServerAnswers(server->port()));
    // Avahi's "daemon not running" either way.
    EXPECT_TRUE(events->waitForLine(
        kWebServerLogError, "Bonjour registration error -26 (domain 10)", test::scaledWait(5s)));
    EXPECT_EQ(server->bonjourName(), std::nullopt);
    EXPECT_EQ(server->bonjourServerURL(), std::nullopt);
    EXPECT_TRUE(events->registrations().empty());
    server->stop();
  }
}

TEST(WebServerAvahi, StopWaitsForAReportUnderWaySoNoPublicationCallFollowsIt) {
  if (IsolatedNetwork::ranInChild()) return;
  MdnsDaemons daemons;
  ASSERT_EQ(daemons.error(), "");
  auto events = std::make_shared<test::WebServerEventLog>();
  events->holdAtLine("WebServer now locally reachable at ");
  auto server = startPublished(events, publishing("Ombrelia Test"));
  ASSERT_TRUE(events->waitUntilHeld(kRegistrationBound)) << "never resolved";
  const auto stop =
      events->stopDuringHeldReport(*server, test::WebServerEventLog::CallKind::registration);
  EXPECT_FALSE(stop.returnedWhileHeld)
      << "stop() returned with a report on its way to the delegate";
  EXPECT_FALSE(stop.calledAfterReturn)
      << "the delegate heard of the publication after stop() returned";
}
