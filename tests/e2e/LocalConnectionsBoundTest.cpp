// What all local connections to the proxy hold together is bounded, however many a local program
// opens: past the bound a new request is answered 503 at once, and a player already reading its
// segment keeps every byte. Once the program's connections have stopped for the minimum idle
// time, a new request takes the room of one of them instead and is answered whole.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/url/UrlReference.hpp"
#include "proxy/ReverseProxyURL.hpp"
#include "support/ChildProcess.hpp"
#include "support/HostProgram.hpp"
#include "support/LoopbackClient.hpp"
#include "support/RawHttpResponse.hpp"
#include "support/ResidentMemory.hpp"
#include "support/StreamOrigin.hpp"
#include "support/WaitScale.hpp"
#include "webserver/core/WebServerOptions.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Half-sent heads: each connection sends this much of a head and never its end. Without a bound
// each held about 70 KB in the viewer for its 30 s read timeout, 3,000 of them some 200 MB.
constexpr size_t kHalfHeads = 3000;
constexpr size_t kHalfHeadBytes = 60 * 1024;
constexpr size_t kLargeSegmentBytes = 6'000'000;
// What the allocator keeps of the buffers of connections refused on the way: a sanitizer's keeps
// more of it, beside its own records of each block.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kAllocatorSlackBytes = 32 * 1024 * 1024;
#else
constexpr size_t kAllocatorSlackBytes = 16 * 1024 * 1024;
#endif

std::string largeSegmentBytes() {
  std::string bytes(kLargeSegmentBytes, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + i / 4093);
  return bytes;
}

// The test process and the viewer it starts each hold a descriptor per connection.
void allowDescriptors(rlim_t wanted) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = std::min(limit.rlim_max, std::max(limit.rlim_cur, wanted));
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

TEST(LocalConnectionsBound,
     ConnectionsHoldTheViewerToItsBoundAndANewRequestIsAnswered503AtOnceThenServedOnceTheyStop) {
  allowDescriptors(2 * kHalfHeads + 8192);
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < kHalfHeads + 256) GTEST_SKIP() << "too few descriptors allowed";

  const auto root = std::filesystem::temp_directory_path() /
                    ("ombrelia-local-connections-" + std::to_string(::getpid()));
  std::filesystem::create_directories(root);
  std::ofstream(root / "master.m3u8", std::ios::binary)
      << "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6,\nlarge.ts\n#EXT-X-ENDLIST\n";
  const std::string segment = largeSegmentBytes();
  std::ofstream(root / "large.ts", std::ios::binary) << segment;
  StreamOrigin origin(root.string());
  ASSERT_TRUE(origin.running());
  ChildProcess serve(
      {kHost, "serve", origin.url("/master.m3u8"), "--port", "0"},
      ChildProcess::Settings{
          .captureStdout = true, .discardStderr = true, .extraEnvironment = viewerEnvironment()});
  const auto url = serve.readLine(scaledWait(10s));
  ASSERT_TRUE(url && url->starts_with("http://127.0.0.1:")) << url.value_or("no URL");
  const auto port =
      static_cast<uint16_t>(std::stoi(url->substr(std::string("http://127.0.0.1:").size())));
  const auto target = [&](const std::string& path) {
    const std::string local =
        ReverseProxyURL::make(UrlReference::read(origin.url(path)).value(), port)->toString();
    return local.substr(local.find('/', std::string("http://").size()));
  };

  // An honest player reads its segment at a steady pace all through what follows.
  auto player = LoopbackClient::connect(port);
  ASSERT_TRUE(player);
  // A small receive buffer, so that each read takes a few tens of KB, not all that loopback
  // buffers ahead.
  const int receiveBytes = 16 * 1024;
  ::setsockopt(player->descriptor(), SOL_SOCKET, SO_RCVBUF, &receiveBytes, sizeof(receiveBytes));
  player->send("GET " + target("/large.ts") + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  // At most about 2.6 Mbit/s until the checks below are done (some 20 s for the segment), so
  // that it is still reading meanwhile and holds its connection's room all through them.
  std::atomic<bool> playerDone{false};
  std::atomic<bool> checked{false};
  std::thread reading([&] {
    for (;;) {
      const size_t before = player->received().size();
      player->readAtLeast(before + 16 * 1024, scaledWait(60s));
      if (player->received().size() == before) break;  // closed, reset or silent
      if (!checked) std::this_thread::sleep_for(100ms);
    }
    playerDone = true;
  });

  std::vector<int> held;
  held.reserve(kHalfHeads + 1024);
  std::optional<RawHttpResponse> refused;
  double refusedSeconds = 0;
  double fillSeconds = 0;
  std::optional<RawHttpResponse> served;
  double servedSeconds = 0;
  const auto fillBegun = Clock::now();
  const Growth growth = residentGrowthOf(serve.pid(), [&] {
    const std::string head = "GET " + target("/other.ts") + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                             "X-Padding: " + std::string(kHalfHeadBytes, 'p');
    for (size_t i = 0; i < kHalfHeads; ++i) {
      auto client = LoopbackClient::connect(port);
      if (!client) break;
      ::send(client->descriptor(), head.data(), head.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      held.push_back(::dup(client->descriptor()));
    }
    // The viewer reads them as it can: once no more of them is refused, those left hold their
    // room (each refused one gave all it held back).
    size_t answered = 0;
    for (auto settled = Clock::now() + scaledWait(500ms); Clock::now() < settled;) {
      std::vector<pollfd> all;
      for (const int fd : held) all.push_back({fd, POLLIN, 0});
      ::poll(all.data(), all.size(), 0);
      const auto now = static_cast<size_t>(
          std::count_if(all.begin(), all.end(), [](const pollfd& p) { return p.revents != 0; }));
      if (now != answered) settled = Clock::now() + scaledWait(500ms);
      answered = now;
      std::this_thread::sleep_for(50ms);
    }
    // Then connections that send nothing, each taking what a connection holds before its head,
    // until the connections left holding stop growing over a batch (all of it refused, or, on a
    // machine slow enough that the first have been idle for the minimum, each taking the room of
    // one that stopped): what is left is less than a connection's share.
    const auto holding = [&] {
      std::vector<pollfd> all;
      for (const int fd : held) all.push_back({fd, POLLIN, 0});
      ::poll(all.data(), all.size(), 0);
      return static_cast<size_t>(
          std::count_if(all.begin(), all.end(), [](const pollfd& p) { return p.revents == 0; }));
    };
    bool full = false;
    size_t holdingBefore = holding();
    while (!full && held.size() < kHalfHeads + 8192) {
      std::vector<pollfd> batch;
      for (int i = 0; i < 32; ++i) {
        auto client = LoopbackClient::connect(port);
        if (!client) break;
        batch.push_back({::dup(client->descriptor()), POLLIN, 0});
      }
      if (batch.empty()) break;
      ::poll(batch.data(), batch.size(), static_cast<int>(scaledWait(200ms).count()));
      full = true;
      for (const auto& watched : batch) {
        full = full && (watched.revents & POLLIN) != 0;
        held.push_back(watched.fd);
      }
      const size_t holdingNow = holding();
      const bool stoppedLongEnough =
          Clock::now() - fillBegun >= WebServerOptions::kDefaultMinIdleBeforeEndingForRoom;
      full = full || (stoppedLongEnough && holdingNow <= holdingBefore);
      holdingBefore = holdingNow;
    }
    fillSeconds = std::chrono::duration<double>(Clock::now() - fillBegun).count();
    const auto begun = Clock::now();
    auto fresh = LoopbackClient::connect(port);
    ASSERT_TRUE(fresh);
    fresh->send("GET " + target("/master.m3u8") + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    refused = RawHttpResponse::parse(fresh->readAll(scaledWait(10s)));
    refusedSeconds = std::chrono::duration<double>(Clock::now() - begun).count();
    // The program's connections have all stopped for the minimum: a player's request takes the room
    // of one of them and gets its answer whole, well before their own read timeout would end them.
    std::this_thread::sleep_for(WebServerOptions::kDefaultMinIdleBeforeEndingForRoom +
                                scaledWait(1s));
    const auto servedBegun = Clock::now();
    auto later = LoopbackClient::connect(port);
    ASSERT_TRUE(later);
    later->send("GET " + target("/master.m3u8") + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    served = RawHttpResponse::parse(later->readAll(scaledWait(10s)));
    servedSeconds = std::chrono::duration<double>(Clock::now() - servedBegun).count();
  });
  checked = true;
  reading.join();
  for (const int fd : held) ::close(fd);

  std::printf(
      "%zu half-sent heads and %zu idle connections in %.1f s: the viewer's memory rose %.1f MB at "
      "its peak; a new request answered in %.2f s, one after they stopped served in %.2f s\n",
      kHalfHeads, held.size() - kHalfHeads, fillSeconds, static_cast<double>(growth.peak) / 1e6,
      refusedSeconds, servedSeconds);
  EXPECT_GE(held.size(), kHalfHeads);
  // The bound, and beside it the honest player's segment kept for the store, its look-ahead and
  // what the allocator keeps.
  EXPECT_LT(growth.peak, (WebServerOptions::kDefaultMaxConnectionBytes + 2 * kLargeSegmentBytes +
                          kAllocatorSlackBytes) *
                             kResidentPerHeapByte);
  ASSERT_TRUE(refused) << "no answer to a new request";
  const double minIdleSeconds =
      std::chrono::duration<double>(WebServerOptions::kDefaultMinIdleBeforeEndingForRoom).count();
  if (fillSeconds < minIdleSeconds) {
    EXPECT_EQ(refused->status, 503);
    EXPECT_TRUE(refused->header("Retry-After").has_value());
  } else {
    EXPECT_TRUE(refused->status == 503 || refused->status == 200) << refused->status;
  }
  EXPECT_LT(refusedSeconds, std::chrono::duration<double>(scaledWait(2s)).count());
  ASSERT_TRUE(served) << "no answer to a request once the connections had stopped";
  EXPECT_EQ(served->status, 200);
  EXPECT_TRUE(served->body.starts_with("#EXTM3U")) << served->body;
  EXPECT_LT(servedSeconds, std::chrono::duration<double>(scaledWait(2s)).count());

  EXPECT_TRUE(playerDone);
  const auto answer = RawHttpResponse::parse(player->received());
  ASSERT_TRUE(answer) << "the player got no answer";
  EXPECT_EQ(answer->status, 200);
  EXPECT_FALSE(player->wasReset());
  EXPECT_TRUE(answer->body == segment)
      << "the player got " << answer->body.size() << " of " << segment.size() << " bytes";
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace ombrelia::test
