// A path whose MTU is below the size that batched (segmented) sends need: loopback at 1,200
// bytes in a network namespace of the test's own, where the kernel refuses those sends.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ombrelia/OLoggerConfig.hpp>
#include <variant>

#include "support/ChildProcess.hpp"
#include "support/OpenChannels.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;
using test::OpenChannels;

// The MTU of the smallest paths the stack must carry on.
constexpr int kSmallMtu = 1200;
// Set in the child process that runs the transfer.
constexpr const char* kChildVariable = "OMBRELIA_SMALL_MTU_CHILD";
// What the child prints when it cannot make a namespace, for the parent to skip on.
constexpr const char* kNoNamespace = "needs a network namespace of its own";
// The line the stack logs when the kernel refuses a segmented send and it falls back.
constexpr const char* kFallbackLine = "segmented send refused, sending datagram by datagram";

// Moves the calling thread into a new network namespace whose only interface, loopback, is up
// with `mtu`. Only threads started afterwards follow it: the caller must be the process's only
// thread so far. Empty on success, else why not.
std::string isolateOnLoopbackWithMtu(int mtu) {
  if (unshare(CLONE_NEWNET) != 0) return std::string("unshare: ") + std::strerror(errno);
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string("socket: ") + std::strerror(errno);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  request.ifr_mtu = mtu;
  std::string error;
  if (ioctl(fd, SIOCSIFMTU, &request) != 0) error = std::string("MTU: ") + std::strerror(errno);
  if (error.empty() && ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
    request.ifr_flags |= IFF_UP;
    if (ioctl(fd, SIOCSIFFLAGS, &request) != 0) error = std::string("up: ") + std::strerror(errno);
  }
  close(fd);
  return error;
}

// Frame `index` of a transfer: its bytes tell where it belongs.
Data frameNumbered(size_t index, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((index * 131 + i) % 251);
  return Data(std::move(bytes));
}

// In the child: the namespace first, while no thread of the library runs yet (the stack's loop
// thread, started by an earlier test of the same process, would stay behind at the normal MTU),
// then the transfer, logging the fallback.
void transferAtSmallMtu() {
  const std::string error = isolateOnLoopbackWithMtu(kSmallMtu);
  if (error == std::string("unshare: ") + std::strerror(EPERM)) GTEST_SKIP() << kNoNamespace;
  ASSERT_EQ(error, "") << "could not set up loopback at MTU " << kSmallMtu;
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);

  OpenChannels pair;
  ASSERT_TRUE(pair.open(test::scaledWait(10s))) << "the channel did not open at MTU " << kSmallMtu;
  // Frames of the peer protocol's size, many congestion windows' worth, so that sends go out in
  // batches of full-size datagrams.
  constexpr size_t kFrameBytes = 15924;
  constexpr size_t kFrames = 256;
  for (size_t i = 0; i < kFrames; ++i) {
    ASSERT_TRUE(pair.local->sendBinary(frameNumbered(i, kFrameBytes)))
        << "send " << i << " refused";
  }
  ASSERT_TRUE(pair.remoteEvents.waitForFrames(kFrames, test::scaledWait(30s)))
      << "only " << pair.remoteEvents.frames().size() << " of " << kFrames
      << " frames arrived: the transfer stalled";
  const auto frames = pair.remoteEvents.frames();
  for (size_t i = 0; i < kFrames; ++i) {
    const auto* bytes = std::get_if<Data>(&frames[i]);
    ASSERT_TRUE(bytes != nullptr && *bytes == frameNumbered(i, kFrameBytes))
        << "frame " << i << " arrived altered or out of place";
  }
}

TEST(SmallMtuTest, TransferFallsBackToSingleDatagramsAndCompletesAtMtu1200) {
  if (std::getenv(kChildVariable) != nullptr) {
    transferAtSmallMtu();
    return;
  }
  // The transfer runs in a fresh process of this program, this test alone.
  char self[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  test::ChildProcess child(
      {self, std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name()},
      test::ChildProcess::Settings{.captureStdout = true,
                                   .extraEnvironment = {std::string(kChildVariable) + "=1"}});
  ASSERT_TRUE(child.started());
  const std::string output = child.readAll(90s);
  const auto status = child.wait(test::scaledWait(5s));
  if (output.find(kNoNamespace) != std::string::npos) {
    GTEST_SKIP() << "needs a network namespace of its own (run as root, as scripts/test does)";
  }
  EXPECT_EQ(status, 0) << "the transfer failed:\n" << output;
  EXPECT_NE(output.find(kFallbackLine), std::string::npos)
      << "no segmented send was refused: the transfer did not meet the small MTU\n"
      << output;
}

}  // namespace
}  // namespace ombrelia::datachannel
