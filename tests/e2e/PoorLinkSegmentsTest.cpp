// Segments fetched through the example host application over a poor link (a user-space relay
// that paces, delays, stalls and breaks connections), each beside a direct fetch of the same
// origin over the same kind of link in the same test: the player gets the same bytes, about as
// soon, as it would fetching the origin itself.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "platform/url/UrlReference.hpp"
#include "proxy/ReverseProxyURL.hpp"
#include "support/ChildProcess.hpp"
#include "support/CpuTime.hpp"
#include "support/HostProgram.hpp"
#include "support/IsolatedNetwork.hpp"
#include "support/LoopbackClient.hpp"
#include "support/PacedTcpRelay.hpp"
#include "support/RawHttpResponse.hpp"
#include "support/ResidentMemory.hpp"
#include "support/StreamOrigin.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How much later than the direct fetch the player's may end: the proxy's own work, a little more
// under a sanitizer.
const double kMostLaterSeconds = 3.0 * kSanitizerSlowdown;

std::string poorLinkSegmentBytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * seed + i / 4099);
  return bytes;
}

// An origin of a few segments behind two relays of the same link: one the viewer fetches through,
// one the direct fetch goes through; and the viewer.
class PoorLink {
 public:
  explicit PoorLink(PacedTcpRelay::Settings link)
      : root_(std::filesystem::temp_directory_path() /
              ("ombrelia-poor-link-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(root_);
    std::ofstream(root_ / "master.m3u8", std::ios::binary)
        << "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6,\na.ts\n#EXT-X-ENDLIST\n";
    origin_.emplace(root_.string());
    link.targetPort = static_cast<uint16_t>(origin_->port());
    viewerLink_.emplace(link);
    directLink_.emplace(link);
    serve_.emplace(
        std::vector<std::string>{kHost, "serve", viewerLink_->url("/master.m3u8"), "--port", "0"},
        ChildProcess::Settings{
            .captureStdout = true, .discardStderr = true, .extraEnvironment = viewerEnvironment()});
    const auto url = serve_->readLine(test::scaledWait(10s));
    if (url && url->starts_with("http://127.0.0.1:")) {
      port_ = std::stoi(url->substr(std::string("http://127.0.0.1:").size()));
    }
  }
  ~PoorLink() {
    serve_.reset();
    viewerLink_.reset();
    directLink_.reset();
    origin_.reset();
    std::filesystem::remove_all(root_);
  }

  bool running() const { return origin_->running() && port_ > 0; }
  void add(const std::string& name, const std::string& bytes) {
    std::ofstream(root_ / name, std::ios::binary) << bytes;
  }
  PacedTcpRelay& viewerLink() { return *viewerLink_; }
  PacedTcpRelay& directLink() { return *directLink_; }
  uint16_t port() const { return static_cast<uint16_t>(port_); }
  // The player's URL of `path` at the origin, through the viewer.
  std::string local(const std::string& path) const {
    return ReverseProxyURL::make(UrlReference::read(viewerLink_->url(path)).value(), port_)
        ->toString();
  }

 private:
  std::filesystem::path root_;
  std::optional<StreamOrigin> origin_;
  std::optional<PacedTcpRelay> viewerLink_;
  std::optional<PacedTcpRelay> directLink_;
  std::optional<ChildProcess> serve_;
  int port_ = 0;
};

// What one player got, and when.
struct PlayerFetch {
  std::optional<RawHttpResponse> answer;
  bool reset = false;
  double seconds = 0;
};

// A player on a connection of its own: asks for `url` at `port`, reads `before` bytes, waits
// `pause` without reading, then reads the rest.
PlayerFetch play(uint16_t port, const std::string& url, size_t before = 0,
                 std::chrono::milliseconds pause = 0ms) {
  PlayerFetch fetched;
  const auto begun = Clock::now();
  auto player = LoopbackClient::connect(port);
  if (!player) return fetched;
  const std::string target = url.substr(url.find('/', std::string("http://").size()));
  player->send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  if (before > 0) {
    player->readAtLeast(before, test::scaledWait(60s));
    std::this_thread::sleep_for(pause);
  }
  player->readAll(test::scaledWait(180s));
  fetched.seconds = std::chrono::duration<double>(Clock::now() - begun).count();
  fetched.reset = player->wasReset();
  fetched.answer = RawHttpResponse::parse(player->received());
  return fetched;
}

// Runs the player through the viewer and the direct one at once.
std::pair<PlayerFetch, PlayerFetch> bothAtOnce(const std::function<PlayerFetch()>& throughViewer,
                                               const std::function<PlayerFetch()>& direct) {
  std::pair<PlayerFetch, PlayerFetch> both;
  std::thread viewer([&] { both.first = throughViewer(); });
  both.second = direct();
  viewer.join();
  return both;
}

void expectWholeAndAboutAsSoon(const std::pair<PlayerFetch, PlayerFetch>& both,
                               const std::string& body, const std::string& what) {
  const auto& [viewer, direct] = both;
  std::printf("%s: through the viewer %.1f s, direct %.1f s\n", what.c_str(), viewer.seconds,
              direct.seconds);
  ASSERT_TRUE(direct.answer && direct.answer->status == 200) << what << ": the direct fetch";
  EXPECT_TRUE(direct.answer->body == body)
      << what << ": the direct fetch got " << direct.answer->body.size() << " bytes";
  ASSERT_TRUE(viewer.answer) << what << ": no answer through the viewer (reset: " << viewer.reset
                             << ")";
  EXPECT_EQ(viewer.answer->status, 200) << what;
  EXPECT_TRUE(viewer.answer->body == body)
      << what << ": the player got " << viewer.answer->body.size() << " of " << body.size()
      << " bytes (reset: " << viewer.reset << ")";
  EXPECT_LT(viewer.seconds, direct.seconds + kMostLaterSeconds) << what;
}

// The origin goes silent for 28 s in the middle of a segment, as a link does in an outage, then
// goes on. Directly, the player only waits; through the viewer, libcurl's low-speed limit (1 KiB/s
// over 20 s, on a rate averaged over seconds) ended the transfer and the player got a short 200.
// Then the link drops every connection mid-segment and refuses new ones for 4 s: the viewer goes on
// with a Range from the byte reached, where a direct fetch is cut.
TEST(PoorLinkSegments, SegmentAcrossAnOutageComesWholeAsDirectly) {
  PoorLink link(PacedTcpRelay::Settings{.bytesPerSecond = 512 * 1024, .delay = 20ms});
  const std::string stalled = poorLinkSegmentBytes(2'000'000, 7);
  const std::string broken = poorLinkSegmentBytes(2'000'000, 11);
  link.add("stalled.ts", stalled);
  link.add("broken.ts", broken);
  ASSERT_TRUE(link.running());

  const auto midway = [&](auto then) {
    // Bounded, so that a player that failed early leaves the test to say so.
    const auto until = Clock::now() + test::scaledWait(60s);
    while ((link.viewerLink().bytesDown() < 700'000 || link.directLink().bytesDown() < 700'000) &&
           Clock::now() < until) {
      std::this_thread::sleep_for(20ms);  // the relays offer no event
    }
    then();
  };
  std::thread outage([&] {
    midway([&] {
      link.viewerLink().setStalled(true);
      link.directLink().setStalled(true);
      std::this_thread::sleep_for(28s);
      link.viewerLink().setStalled(false);
      link.directLink().setStalled(false);
    });
  });
  expectWholeAndAboutAsSoon(
      bothAtOnce(
          [&] { return play(link.port(), link.local("/stalled.ts")); },
          [&] { return play(link.directLink().port(), link.directLink().url("/stalled.ts")); }),
      stalled, "a 28 s outage mid-segment");
  outage.join();

  const uint64_t before = link.viewerLink().bytesDown();
  std::thread drops([&] {
    const auto until = Clock::now() + test::scaledWait(60s);
    while (link.viewerLink().bytesDown() < before + 700'000 && Clock::now() < until) {
      std::this_thread::sleep_for(20ms);
    }
    link.viewerLink().setRefusing(true);
    link.viewerLink().breakConnections();
    std::this_thread::sleep_for(4s);
    link.viewerLink().setRefusing(false);
  });
  const PlayerFetch viewer = play(link.port(), link.local("/broken.ts"));
  drops.join();
  std::printf("connections dropped mid-segment: through the viewer %.1f s\n", viewer.seconds);
  ASSERT_TRUE(viewer.answer) << "reset: " << viewer.reset;
  EXPECT_EQ(viewer.answer->status, 200);
  EXPECT_TRUE(viewer.answer->body == broken)
      << "the player got " << viewer.answer->body.size() << " of " << broken.size() << " bytes";
}

// A player that stops reading for 45 s partway into an 11 MB segment, then reads on. Directly it
// gets the segment whole; through the viewer, the paused time counted against the origin's
// rate and the player got 1-5 MB, then a reset or a clean close.
TEST(PoorLinkSegments, PlayerPausing45sInALargeSegmentGetsItWholeAsDirectly) {
  PoorLink link(PacedTcpRelay::Settings{.bytesPerSecond = 8 * 1024 * 1024, .delay = 10ms});
  const std::string segment = poorLinkSegmentBytes(11'000'000, 13);
  link.add("large.ts", segment);
  ASSERT_TRUE(link.running());
  expectWholeAndAboutAsSoon(
      bothAtOnce([&] { return play(link.port(), link.local("/large.ts"), 2'000'000, 45s); },
                 [&] {
                   return play(link.directLink().port(), link.directLink().url("/large.ts"),
                               2'000'000, 45s);
                 }),
      segment, "a player pausing 45 s");
}

// Where sockets buffer tens of KB (a phone's or a TV's, rather than the megabytes Linux gives
// loopback), a player that reads the head and a few KB of a segment and then pauses 45 s has
// been sent only some tens of KB when it stops. Directly (nginx: 60 s without a byte taken ends
// a write) it gets the segment whole; through the viewer, an average rate of reading (8 KiB/s
// after a 30 s window) reset it about 37 s into its pause.
TEST(PoorLinkSegments, PlayerPausing45sEarlyOverSmallSocketBuffersGetsItsSegmentWholeAsDirectly) {
  if (IsolatedNetwork::ranInChild()) return;
  // Inside the test's own network namespace: the setting touches no other.
  std::ofstream("/proc/sys/net/ipv4/tcp_wmem") << "4096 16384 32768\n";
  std::ofstream("/proc/sys/net/ipv4/tcp_rmem") << "4096 16384 32768\n";
  PoorLink link(PacedTcpRelay::Settings{.delay = 5ms});
  const std::string segment = poorLinkSegmentBytes(1'000'000, 19);
  link.add("early.ts", segment);
  ASSERT_TRUE(link.running());
  expectWholeAndAboutAsSoon(
      bothAtOnce([&] { return play(link.port(), link.local("/early.ts"), 8'000, 45s); },
                 [&] {
                   return play(link.directLink().port(), link.directLink().url("/early.ts"), 8'000,
                               45s);
                 }),
      segment, "a player pausing 45 s early in a segment");
}

// A 128 kbit/s link with 150 ms of delay and a piece in fifty held back for a retransmission.
TEST(PoorLinkSegments, SegmentOverA128kbitLinkComesWholeAsDirectly) {
  PoorLink link(PacedTcpRelay::Settings{
      .bytesPerSecond = 16'000, .delay = 150ms, .lossRate = 0.02, .retransmissionDelay = 600ms});
  const std::string segment = poorLinkSegmentBytes(150'000, 17);
  link.add("slow.ts", segment);
  ASSERT_TRUE(link.running());
  expectWholeAndAboutAsSoon(
      bothAtOnce([&] { return play(link.port(), link.local("/slow.ts")); },
                 [&] { return play(link.directLink().port(), link.directLink().url("/slow.ts")); }),
      segment, "a segment at 128 kbit/s");
}

}  // namespace
}  // namespace ombrelia::test
