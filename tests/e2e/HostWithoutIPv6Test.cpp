// A host with IPv6 disabled by sysctl (a usual hardening setting, common in containers) still
// makes AF_INET6 sockets but has no ::1: the proxy listens on 127.0.0.1 alone and says so once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fstream>

#include "support/ChildProcess.hpp"
#include "support/HostProgram.hpp"
#include "support/HostViewer.hpp"
#include "support/IsolatedNetwork.hpp"
#include "support/SampleStream.hpp"
#include "support/StreamOrigin.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

// errno of binding a TCP socket to [::1]:0; 0 when it binds.
int ipv6LoopbackBindError() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const int result = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  const int error = result == 0 ? 0 : errno;
  ::close(fd);
  return error;
}

TEST(HostWithoutIPv6, ServePrintsItsUrlAndServesAPlayer) {
  if (IsolatedNetwork::ranInChild()) return;
  // Inside the test's own network namespace: the setting touches no other.
  for (const char* name : {"all", "default", "lo"}) {
    std::ofstream(std::string("/proc/sys/net/ipv6/conf/") + name + "/disable_ipv6") << "1\n";
  }
  ASSERT_EQ(ipv6LoopbackBindError(), EADDRNOTAVAIL) << "IPv6 sockets exist, ::1 does not";

  StreamOrigin origin(SampleStream::folder("ts3"));
  ASSERT_TRUE(origin.running());
  HostViewer serve("serve", std::make_unique<ChildProcess>(
                                std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1",
                                                         kHost, "serve", origin.url("/master.m3u8"),
                                                         "--port", "0", "--log-level", "1"},
                                ChildProcess::Settings{.captureStdout = true}));
  const auto url = serve.process().readLine(test::scaledWait(std::chrono::seconds(20)));
  ASSERT_TRUE(url) << "no URL line";
  EXPECT_TRUE(url->starts_with("http://127.0.0.1:")) << *url;
  const auto probe = ChildProcess::run(
      {"ffprobe", "-v", "error", "-show_entries", "stream=width", "-of", "csv=p=0", *url});
  EXPECT_EQ(probe.exitCode, 0) << probe.output;
  EXPECT_NE(probe.output.find("256"), std::string::npos) << probe.output;
  EXPECT_EQ(serve.process().stop(SIGTERM, test::scaledWait(std::chrono::seconds(20))), 0);
  serve.poll();
  size_t warnings = 0;
  for (const auto& line : serve.lines()) {
    if (line.find("listens on 127.0.0.1 only") != std::string::npos) ++warnings;
  }
  EXPECT_EQ(warnings, 1u) << "one warning line says the proxy listens on IPv4 alone";
}

}  // namespace
}  // namespace ombrelia::test
