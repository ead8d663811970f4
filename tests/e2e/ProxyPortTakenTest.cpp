// The proxy's port held by another program, or by another proxy of the same process: the
// application learns that the proxy does not listen and gets no local URL, so the player's
// requests, with the origin URLs and their signed queries, never reach whatever holds the port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ombrelia/AnalyticsManager.hpp>
#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/ProxyManager.hpp>

#include "api/ProxyManagerSeams.hpp"
#include "platform/ApplicationLifecycle.hpp"
#include "platform/DispatchQueue.hpp"
#include "signalling/SocketConfig.hpp"
#include "support/ChildProcess.hpp"
#include "support/ProxyFixture.hpp"
#include "support/StreamOrigin.hpp"
#include "support/TestHttpServer.hpp"

namespace ombrelia::test {
namespace {

const std::string kHost = std::string(OMBRELIA_BINARY_DIR) + "/examples/ombrelia-host";

// Another program's listening socket on 127.0.0.1 and a chosen port; counts what it accepted.
class LoopbackListener {
 public:
  explicit LoopbackListener(uint16_t port)
      : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    listening_ = fd_ >= 0 &&
                 ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                 ::listen(fd_, 8) == 0;
  }
  ~LoopbackListener() {
    if (fd_ >= 0) ::close(fd_);
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  bool listening() const { return listening_; }
  // Connections waiting to be accepted, taken now (the socket does not block).
  int accepted() {
    int count = 0;
    for (;;) {
      const int client = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK);
      if (client < 0) return count;
      ::close(client);
      ++count;
    }
  }

 private:
  int fd_;
  bool listening_ = false;
};

// The library configured as ProxyFixture does it, with proxies made by the test itself.
class ProxyPortTaken : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OmbreliaConfig::isConfigured()) OmbreliaConfig::configure("test-key");
    SocketConfig::overrideDefaultEndpoint(
        Url::parse("wss://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/"));
    analytics = AnalyticsManager::create();
  }
  void TearDown() override { ProxyManagerSeams::overridePort(std::nullopt); }

  std::unique_ptr<ProxyManager> makeProxy(const std::string& videoID) {
    return std::make_unique<ProxyManager>(videoID, "client-1", *analytics);
  }

  std::shared_ptr<AnalyticsManager> analytics;
};

TEST_F(ProxyPortTaken, AnotherProgramOnThePortGetsNothingAndTheApplicationIsToldWhy) {
  TestHttpServer other;  // another program of this machine, listening first
  TestHttpServer origin;
  origin.route("/v/master.m3u8", TestHttpResponse::ok("#EXTM3U\n", "application/x-mpegurl"));
  const std::string originURL = origin.url("/v/master.m3u8?sig=abc%2Bdef");

  ProxyManagerSeams::overridePort(other.port());
  auto proxy = makeProxy("video-1");
  EXPECT_FALSE(proxy->startServer());
  EXPECT_FALSE(proxy->isListening());
  const auto error = proxy->lastStartError();
  ASSERT_TRUE(error) << "the application is told that starting failed";
  EXPECT_EQ(error->cause, ProxyStartError::Cause::portInUse) << error->description;
  EXPECT_EQ(error->port, other.port());
  EXPECT_FALSE(proxy->reverseProxyURL(*Url::parse(originURL)))
      << "no local URL leads the player to the other program";

  // The example application says so and stops, rather than hand its player such a URL.
  const auto host = ChildProcess::run({"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", kHost, "serve",
                                       originURL, "--port", std::to_string(other.port())},
                                      std::chrono::seconds(30));
  EXPECT_EQ(host.exitCode, 1) << host.output;
  EXPECT_NE(host.output.find("cannot listen on port " + std::to_string(other.port())),
            std::string::npos)
      << host.output;

  EXPECT_EQ(other.connectionCount(), 0u) << "nothing was sent to the program holding the port";
  EXPECT_EQ(origin.requestCount(), 0u);
}

// Only one of two proxies can hold the port: the second is refused, says so and gives no URL
// (it would be served by the first, under the first's video); once the first is cleaned up, the
// second, which was never stopped, starts and serves.
TEST_F(ProxyPortTaken, TwoProxiesInOneProcessNeverHandOutEachOthersUrls) {
  TestHttpServer origin;
  origin.route("/v/s.ts", TestHttpResponse::ok("seg", "video/mp2t"));
  const auto segment = *Url::parse(origin.url("/v/s.ts"));
  const int port = freeLoopbackPort();
  ProxyManagerSeams::overridePort(static_cast<uint16_t>(port));

  auto first = makeProxy("video-1");
  ASSERT_TRUE(first->startServer());
  EXPECT_FALSE(first->lastStartError());
  auto second = makeProxy("video-2");
  EXPECT_FALSE(second->startServer());
  ASSERT_TRUE(second->lastStartError());
  EXPECT_EQ(second->lastStartError()->cause, ProxyStartError::Cause::portInUse);
  EXPECT_FALSE(second->reverseProxyURL(segment)) << "the first proxy would serve this URL";
  EXPECT_TRUE(first->isListening()) << "the second's attempt leaves the first as it was";
  const auto firstLocal = first->reverseProxyURL(segment);
  ASSERT_TRUE(firstLocal);
  EXPECT_EQ(fetchWithCurl(firstLocal->toString()).body, "seg");

  first->cleanup();
  EXPECT_FALSE(first->reverseProxyURL(segment));
  EXPECT_FALSE(first->startServer());
  EXPECT_EQ(first->lastStartError()->cause, ProxyStartError::Cause::cleanedUp);

  ASSERT_TRUE(second->startServer()) << "the port is free again and the second was never stopped";
  EXPECT_FALSE(second->lastStartError());
  const auto secondLocal = second->reverseProxyURL(segment);
  ASSERT_TRUE(secondLocal);
  EXPECT_EQ(secondLocal->port(), port);
  const Fetched fetched = fetchWithCurl(secondLocal->toString());
  EXPECT_EQ(fetched.status, 200);
  EXPECT_EQ(fetched.body, "seg");
  EXPECT_TRUE(second->startServer()) << "asked again while listening, it stays as it is";
  second->cleanup();
}

// The proxy stops listening while the application is in the background, and another program may
// take the port meanwhile: no URL is given while it does not listen, nor when it comes back to
// find the port taken; once the port is free, starting again serves.
TEST_F(ProxyPortTaken, PortTakenWhileInTheBackgroundGivesNoUrlOnReturnUntilStartedAgain) {
  TestHttpServer origin;
  origin.route("/v/s.ts", TestHttpResponse::ok("seg", "video/mp2t"));
  const auto segment = *Url::parse(origin.url("/v/s.ts"));
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
  EXPECT_FALSE(proxy->isListening());
  EXPECT_FALSE(proxy->reverseProxyURL(segment)) << "nothing listens on the port";
  EXPECT_FALSE(proxy->startServer()) << "it listens again only once the application is back";
  EXPECT_FALSE(proxy->lastStartError());

  auto other = std::make_optional<LoopbackListener>(static_cast<uint16_t>(port));
  ASSERT_TRUE(other->listening());
  lifecycle.enterForeground();
  settle();
  EXPECT_FALSE(proxy->isListening());
  EXPECT_FALSE(proxy->reverseProxyURL(segment)) << "the port is the other program's";
  EXPECT_FALSE(proxy->startServer());
  ASSERT_TRUE(proxy->lastStartError());
  EXPECT_EQ(proxy->lastStartError()->cause, ProxyStartError::Cause::portInUse);
  EXPECT_EQ(other->accepted(), 0) << "nothing was sent to the program holding the port";

  other.reset();
  ASSERT_TRUE(proxy->startServer());
  const auto local = proxy->reverseProxyURL(segment);
  ASSERT_TRUE(local);
  EXPECT_EQ(fetchWithCurl(local->toString()).body, "seg");
}

}  // namespace
}  // namespace ombrelia::test
