// The proxy's port held by another program, or by another proxy of the same process: the
// application learns that the proxy does not listen and gets no local URL, so the player's
// requests, with the origin URLs and their signed queries, never reach whatever holds the port.
#include <gtest/gtest.h>

#include <thread>

#include <ombrelia/AnalyticsManager.hpp>
#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/ProxyManager.hpp>

#include "api/ProxyManagerSeams.hpp"
#include "platform/ApplicationLifecycle.hpp"
#include "platform/DispatchQueue.hpp"
#include "signalling/SocketConfig.hpp"
#include "support/ChildProcess.hpp"
#include "support/HostProgram.hpp"
#include "support/ProxyFixture.hpp"
#include "support/StreamOrigin.hpp"
#include "support/TestHttpServer.hpp"
#include "support/TextServer.hpp"

namespace ombrelia::test {
namespace {

// The library configured as ProxyFixture does it, with proxies made by the test itself, and an
// origin serving one segment.
class ProxyPortTaken : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OmbreliaConfig::isConfigured()) OmbreliaConfig::configure("test-key");
    SocketConfig::overrideDefaultEndpoint(
        Url::parse("wss://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/"));
    origin.route("/v/s.ts", TestHttpResponse::ok("seg", "video/mp2t"));
    analytics = AnalyticsManager::create();
  }
  void TearDown() override { ProxyManagerSeams::overridePort(std::nullopt); }

  std::unique_ptr<ProxyManager> makeProxy(const std::string& videoID) {
    return std::make_unique<ProxyManager>(videoID, "client-1", *analytics);
  }
  static void expectServed(const ProxyManager& proxy, const Url& url) {
    const auto local = proxy.reverseProxyURL(url);
    ASSERT_TRUE(local);
    EXPECT_EQ(fetchWithCurl(local->toString()).body, "seg");
  }

  std::shared_ptr<AnalyticsManager> analytics;
  TestHttpServer origin;
  const Url segment = *Url::parse(origin.url("/v/s.ts?sig=abc%2Bdef"));
};

TEST_F(ProxyPortTaken, AnotherProgramOnThePortGetsNothingAndTheApplicationIsToldWhy) {
  TestHttpServer other;  // another program of this machine, listening first
  ProxyManagerSeams::overridePort(other.port());
  auto proxy = makeProxy("video-1");
  EXPECT_FALSE(proxy->startServer());
  EXPECT_FALSE(proxy->isListening());
  ASSERT_TRUE(proxy->lastStartError()) << "the application is told that starting failed";
  EXPECT_EQ(proxy->lastStartError()->cause, ProxyStartError::Cause::portInUse);
  EXPECT_EQ(proxy->lastStartError()->port, other.port());
  EXPECT_FALSE(proxy->reverseProxyURL(segment)) << "no URL leads the player to the other program";

  // The example application says so and stops, rather than hand its player such a URL.
  const auto host = ChildProcess::run({"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", kHost, "serve",
                                       segment.toString(), "--port", std::to_string(other.port())},
                                      std::chrono::seconds(30));
  EXPECT_EQ(host.exitCode, 1) << host.output;
  EXPECT_NE(host.output.find("cannot listen on port " + std::to_string(other.port())),
            std::string::npos)
      << host.output;
  EXPECT_EQ(other.connectionCount(), 0u) << "nothing was sent to the program holding the port";
}

// Only one of two proxies can hold the port: the second is refused, says so and gives no URL
// (the first would serve it, under the first's video); once the first is cleaned up, the
// second, which was never stopped, starts and serves.
TEST_F(ProxyPortTaken, TwoProxiesInOneProcessNeverHandOutEachOthersUrls) {
  const int port = freeLoopbackPort();
  ProxyManagerSeams::overridePort(static_cast<uint16_t>(port));
  auto first = makeProxy("video-1");
  ASSERT_TRUE(first->startServer());
  auto second = makeProxy("video-2");
  EXPECT_FALSE(second->startServer());
  ASSERT_TRUE(second->lastStartError());
  EXPECT_EQ(second->lastStartError()->cause, ProxyStartError::Cause::portInUse);
  EXPECT_FALSE(second->reverseProxyURL(segment)) << "the first proxy would serve this URL";
  expectServed(*first, segment);

  first->cleanup();
  EXPECT_FALSE(first->reverseProxyURL(segment));
  EXPECT_FALSE(first->startServer());
  EXPECT_EQ(first->lastStartError()->cause, ProxyStartError::Cause::cleanedUp);
  ASSERT_TRUE(second->startServer()) << "the port is free again and the second was never stopped";
  EXPECT_FALSE(second->lastStartError());
  EXPECT_EQ(second->reverseProxyURL(segment)->port(), port);
  expectServed(*second, segment);
}

// The proxy stops listening while the application is in the background, and another program
// may take the port meanwhile: no URL while it does not listen, nor when it comes back to find
// the port taken, where lastStartError() tells why at once; starting again serves once the port
// is free.
TEST_F(ProxyPortTaken, PortTakenWhileInTheBackgroundGivesNoUrlAndTellsWhyOnReturn) {
  const int port = freeLoopbackPort();
  ProxyManagerSeams::overridePort(static_cast<uint16_t>(port));
  auto proxy = makeProxy("video-1");
  ASSERT_TRUE(proxy->startServer());
  auto& lifecycle = platform::ApplicationLifecycle::shared();
  const auto settle = [] {
    platform::DispatchQueue::main()->drain();
    platform::DispatchQueue::main()->drain();
  };
  lifecycle.enterBackground();
  settle();
  EXPECT_FALSE(proxy->reverseProxyURL(segment)) << "nothing listens on the port";
  EXPECT_FALSE(proxy->startServer()) << "it listens again only once the application is back";

  WebServerOptions taken;
  taken.port = static_cast<uint16_t>(port);
  taken.bindToLocalhost = true;
  taken.automaticallySuspendInBackground = false;
  auto other = startTextServer(taken);
  lifecycle.enterForeground();
  settle();
  EXPECT_FALSE(proxy->reverseProxyURL(segment)) << "the port is the other program's";
  ASSERT_TRUE(proxy->lastStartError()) << "the failure to listen again is told at once";
  EXPECT_EQ(proxy->lastStartError()->cause, ProxyStartError::Cause::portInUse);
  EXPECT_FALSE(proxy->startServer());
  EXPECT_EQ(proxy->lastStartError()->cause, ProxyStartError::Cause::portInUse);

  other->stop();
  ASSERT_TRUE(proxy->startServer());
  expectServed(*proxy, segment);
}

// A manager destroyed without cleanup() while its player's playlist is still loading: the
// fetch in flight kept the server alive, listening and serving, and a new manager was refused
// the port until the origin answered. Destroying it frees the port at once; the player already
// connected still gets its playlist.
TEST_F(ProxyPortTaken, ManagerDestroyedWhileAPlaylistLoadsFreesThePortAtOnce) {
  TestHttpResponse held = TestHttpResponse::ok("#EXTM3U\n", "application/x-mpegURL");
  held.mode = TestHttpResponse::Mode::heldUntilReleased;
  origin.route("/v/held.m3u8", held);
  const int port = freeLoopbackPort();
  ProxyManagerSeams::overridePort(static_cast<uint16_t>(port));
  auto first = makeProxy("video-1");
  ASSERT_TRUE(first->startServer());
  const std::string playlist =
      first->reverseProxyURL(*Url::parse(origin.url("/v/held.m3u8")))->toString();
  const std::string oldSegment = first->reverseProxyURL(segment)->toString();
  Fetched loading;
  std::thread player([&] { loading = fetchWithCurl(playlist); });
  const auto asked = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (origin.requestCount() == 0 && std::chrono::steady_clock::now() < asked) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(origin.requestCount(), 1u) << "the player's playlist never reached the origin";

  first.reset();
  EXPECT_EQ(fetchWithCurl(oldSegment).status, 0) << "the destroyed manager's URL still answers";
  auto second = makeProxy("video-2");
  EXPECT_TRUE(second->startServer()) << "the port is still taken";
  EXPECT_FALSE(second->lastStartError());

  origin.release("/v/held.m3u8");
  player.join();
  EXPECT_EQ(loading.status, 200) << "the connected player lost its playlist";
  expectServed(*second, segment);
}

}  // namespace
}  // namespace ombrelia::test
