// The background and foreground reported through the shared library, as an application linking
// libombrelia.so reports them: only the exported interface is used here.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include <ombrelia/Ombrelia.hpp>

#include "api/HostSeams.hpp"

namespace ombrelia {
namespace {

// The proxy follows a report on a thread of the library's; a loaded machine may take a while.
constexpr std::chrono::seconds kFollowCeiling{30};

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kFollowCeiling;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A listening socket on 127.0.0.1: `port` 0 lets the system choose.
int listenOnLoopback(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(fd, 1) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

uint16_t portOf(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

TEST(SharedLibraryLifecycle, PortTakenInTheBackgroundIsToldOnReturnToTheForeground) {
  OmbreliaConfig::configure("key-1");
  HostSeams::overrideTrackerEndpoint(*Url::parse("wss://127.0.0.1:9/"));
  const int probe = listenOnLoopback(0);
  ASSERT_GE(probe, 0);
  const uint16_t port = portOf(probe);
  ::close(probe);
  HostSeams::overrideProxyPort(port);

  auto analytics = AnalyticsManager::create();
  ProxyManager proxy("video-1", "client-1", *analytics);
  ASSERT_TRUE(proxy.startServer()) << proxy.lastStartError()->description;
  const auto origin = *Url::parse("http://origin.test/v/index.m3u8");

  ApplicationState::enterBackground();
  EXPECT_TRUE(ApplicationState::isInBackground());
  ASSERT_TRUE(eventually([&] { return !proxy.isListening(); }));
  EXPECT_FALSE(proxy.reverseProxyURL(origin));
  EXPECT_FALSE(proxy.lastStartError()) << "in the background, not listening is no failure";

  const int other = listenOnLoopback(port);
  ASSERT_GE(other, 0);
  ApplicationState::enterForeground();
  EXPECT_FALSE(ApplicationState::isInBackground());
  ASSERT_TRUE(eventually([&] { return proxy.lastStartError().has_value(); }))
      << "the failure to listen again is told without another startServer()";
  EXPECT_EQ(proxy.lastStartError()->cause, ProxyStartError::Cause::portInUse);
  EXPECT_EQ(proxy.lastStartError()->port, port);
  EXPECT_FALSE(proxy.isListening());
  EXPECT_FALSE(proxy.reverseProxyURL(origin));

  ::close(other);
  ASSERT_TRUE(proxy.startServer());
  EXPECT_FALSE(proxy.lastStartError());
  EXPECT_EQ(proxy.reverseProxyURL(origin)->port(), port);

  // Back in the background and in again with the port free: it listens without being asked.
  ApplicationState::enterBackground();
  ASSERT_TRUE(eventually([&] { return !proxy.isListening(); }));
  ApplicationState::enterForeground();
  ASSERT_TRUE(eventually([&] { return proxy.isListening(); }));
  EXPECT_FALSE(proxy.lastStartError());
  proxy.cleanup();
  analytics->cleanup();
}

}  // namespace
}  // namespace ombrelia
