// A download controller dropped with work in flight while the host process exits: the
// signalling reconnections, the peer search, the origin transfers and the storing it leaves
// behind run on the library's threads after the program's statics are gone, and must touch none.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include <ombrelia/OmbreliaConfig.hpp>

#include "analytics/AnalyticsService.hpp"
#include "peers/PeerList.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/HttpClient.hpp"
#include "proxy/DownloadController.hpp"
#include "signalling/SocketConfig.hpp"
#include "store/BufferingController.hpp"
#include "store/BufferingControllerDelegate.hpp"
#include "support/Latch.hpp"
#include "support/LateExit.hpp"
#include "support/StreamOrigin.hpp"
#include "support/TestHttpServer.hpp"

namespace ombrelia {
namespace {

using test::Latch;
using test::TestHttpResponse;
using test::TestHttpServer;

// The exit status when an answer, or the work it leaves, never came.
constexpr int kNoAnswer = 3;

struct HealthyBuffer : BufferingControllerDelegate {
  double getPrebufferingDuration() override { return 30; }
};

// Plays what a player asks first: both playlists, then two segments new to the store, one as a
// peer decision (a listed peer, no subscription: the peer search starts and the origin answers)
// and one critical. The controller and the analytics service are dropped as soon as the
// segments are asked for; their answers arrive after.
void playAndDrop(const TestHttpServer& origin, int firstSegment) {
  auto analytics = AnalyticsService::create("key");
  auto controller = DownloadController::create("video", "client", analytics);
  auto url = [&](const std::string& path) { return *Url::parse(origin.url(path)); };
  Latch playlists;
  const auto counted = [&playlists](HTTPLoader::Response) { playlists.countDown(); };
  controller->playlistData(url("/v/master.m3u8"), counted);
  if (!playlists.waitFor(1)) std::_Exit(kNoAnswer);
  controller->playlistData(url("/v/index.m3u8"), counted);
  if (!playlists.waitFor(2)) std::_Exit(kNoAnswer);

  auto answers = std::make_shared<Latch>();
  const auto answered = [answers](HTTPLoader::Response) { answers->countDown(); };
  const auto segment = [&](int i) {
    return url("/v/s" + std::to_string(firstSegment + i) + ".ts");
  };
  controller->segmentData(segment(0), false, answered);
  controller->segmentData(segment(1), true, answered);
  controller.reset();
  analytics.reset();
  if (!answers->waitFor(2)) std::_Exit(kNoAnswer);
  // What the answers leave behind (the storing and the counting) runs before the exit goes on.
  auto drained = std::make_shared<Latch>();
  std::thread([drained] {
    platform::HttpClient::shared()->delegateQueue()->drain();
    platform::DispatchQueue::global()->drain();
    drained->countDown();
  }).detach();
  if (!drained->waitFor(1)) std::_Exit(kNoAnswer);
}

TEST(ControllerTeardown, ControllerDroppedWithWorkInFlightWhileTheProcessExitsEndsItCleanly) {
  EXPECT_EXIT(
      {
        OmbreliaConfig::configure("key");
        OmbreliaConfig::shared().setMaxPreloadedSegments(1);
        // A tracker that refuses: the signalling client reconnects on the library's threads.
        SocketConfig::overrideDefaultEndpoint(
            Url::parse("wss://127.0.0.1:" + std::to_string(test::freeLoopbackPort()) + "/"));
        BufferingController::shared().setDelegate(std::make_shared<HealthyBuffer>());
        PeerList::shared().setPeers({Peer{Uuid::random(), {}, {}, {}, {}, {}, nullptr}});
        // Outlives the exit: the origin answers the requests made during it.
        auto* origin = new TestHttpServer();
        origin->route("/v/master.m3u8",
                      TestHttpResponse::ok("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=800000,"
                                           "RESOLUTION=640x360\nindex.m3u8\n",
                                           "application/vnd.apple.mpegurl"));
        origin->route("/v/index.m3u8",
                      TestHttpResponse::ok("#EXTM3U\n#EXT-X-TARGETDURATION:6\n"
                                           "#EXT-X-MEDIA-SEQUENCE:10\n#EXTINF:6.0,\ns0.ts\n"
                                           "#EXTINF:6.0,\ns1.ts\n#EXTINF:6.0,\ns2.ts\n",
                                           "application/vnd.apple.mpegurl"));
        for (const char* segment : {"/v/s0.ts", "/v/s1.ts", "/v/s2.ts"}) {
          origin->route(segment,
                        TestHttpResponse::ok(std::string("bytes of ") + segment, "video/mp2t"));
        }
        // Once while the program runs, so that every static the road uses is made, as in an
        // application that played before it exits; then again once the exit has destroyed them.
        playAndDrop(*origin, 0);
        test::exitThenRun([origin] { playAndDrop(*origin, 2); });
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace ombrelia
