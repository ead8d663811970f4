// The proxy's handlers against a loopback test origin: what reaches the origin, and what the
// player gets back.
#include <gtest/gtest.h>

#include <ombrelia/AnalyticsManager.hpp>
#include <ombrelia/ProxyManager.hpp>

#include "api/ProxyManagerSeams.hpp"
#include "store/ManifestController.hpp"
#include "support/ChildProcess.hpp"
#include "support/Latch.hpp"
#include "support/LoopbackClient.hpp"
#include "support/ProxyFixture.hpp"
#include "support/RawHttpResponse.hpp"
#include "support/StreamOrigin.hpp"
#include "support/TestHttpServer.hpp"

namespace ombrelia::test {
namespace {

Fetched fetch(const std::string& url) { return fetchWithCurl(url); }

// A player on a connection of its own that has asked the proxy for a local URL.
std::optional<LoopbackClient> playerAsking(const ProxyFixture& proxy, const std::string& local,
                                           const std::string& version = "HTTP/1.1") {
  auto player = LoopbackClient::connect(static_cast<uint16_t>(proxy.port()));
  const std::string target = local.substr(local.find('/', std::string("http://").size()));
  if (!player || !player->send("GET " + target + " " + version + "\r\nHost: 127.0.0.1\r\n\r\n")) {
    return std::nullopt;
  }
  return player;
}

TEST(HLSProxyServer, OriginUrlsReachTheOriginExactlyAsWritten) {
  TestHttpServer origin;
  origin.route("/a+b/s.ts", TestHttpResponse::ok("seg", "video/mp2t"));
  ProxyFixture proxy;
  for (const std::string target :
       {"/a+b/s.ts?x=1+2", "/a+b/s.ts?a=1&b=2=3", "/a+b/s.ts?sig=ab%2Bcd%2F%3D&e=%20",
        "/a+b/s.ts?token=abc&flag", "/a+b/s.ts"}) {
    const Fetched f = fetch(proxy.local(origin.url(target)));
    EXPECT_EQ(f.status, 200) << target;
    EXPECT_EQ(f.body, "seg") << target;
    EXPECT_EQ(origin.requests().back().target, target);
  }
}

TEST(HLSProxyServer, RewritesPlaylistsWhateverTheirExtensionOrPath) {
  TestHttpServer origin;
  const std::string media =
      "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\nseg0.ts\n#EXT-X-ENDLIST\n";
  origin.route("/live/index", TestHttpResponse::ok(media, "application/vnd.apple.mpegurl"));
  origin.route("/live/untyped", TestHttpResponse::ok(media, "text/plain"));
  origin.route("/live/notes.txt", TestHttpResponse::ok("seg0.ts\n", "text/plain"));
  ProxyFixture proxy;
  const std::string live = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n" +
                           proxy.local(origin.url("/live/seg0.ts")) + "\n#EXT-X-ENDLIST\n";
  EXPECT_EQ(fetch(proxy.local(origin.url("/live/index"))).body, live);
  EXPECT_EQ(fetch(proxy.local(origin.url("/live/untyped"))).body, live);
  EXPECT_EQ(fetch(proxy.local(origin.url("/live/notes.txt"))).body, "seg0.ts\n")
      << "other resources pass unchanged";
}

// The origin's own error statuses reaching the player are in the end-to-end proxy tests.
TEST(HLSProxyServer, AnswersA500WhenNothingCameBack) {
  ProxyFixture proxy;
  const std::string closed = "http://127.0.0.1:" + std::to_string(freeLoopbackPort());
  EXPECT_EQ(fetch(proxy.local(closed + "/s.ts")).status, 500);
  EXPECT_EQ(fetch(proxy.local(closed + "/p.m3u8")).status, 500);
}

TEST(HLSProxyServer, PassesRangesThroughWithTheOriginsContentRange) {
  TestHttpServer origin;
  TestHttpResponse ranged = TestHttpResponse::ok("0123456789", "video/mp2t");
  ranged.honourRange = true;
  origin.route("/r.ts", ranged);
  ProxyFixture proxy;
  const auto r = ChildProcess::run(
      {"curl", "-s", "-D", "-", "-H", "Range: bytes=3-5", proxy.local(origin.url("/r.ts"))});
  EXPECT_NE(r.output.find("HTTP/1.1 206"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Content-Range: bytes 3-5/10"), std::string::npos) << r.output;
  EXPECT_TRUE(r.output.ends_with("345")) << r.output;
}

// HTTP/1.0 has no chunked coding: a player speaking it would read the chunk sizes as media. A
// body of unknown length goes to it as it is, ended by the close; HTTP/1.1 keeps the chunks.
TEST(HLSProxyServer, BodyOfUnknownLengthReachesAnHttp10PlayerUnchunked) {
  TestHttpServer origin;
  std::string media(70'000, '\0');
  for (size_t i = 0; i < media.size(); ++i) media[i] = static_cast<char>('a' + i % 23);
  TestHttpResponse chunked = TestHttpResponse::ok(media, "video/mp2t");
  chunked.mode = TestHttpResponse::Mode::chunked;
  origin.route("/v/c.ts", chunked);
  ProxyFixture proxy;
  for (const std::string version : {"HTTP/1.0", "HTTP/1.1"}) {
    auto player = playerAsking(proxy, proxy.local(origin.url("/v/c.ts")), version);
    ASSERT_TRUE(player);
    const auto answer = RawHttpResponse::parse(player->readAll(std::chrono::seconds(20)));
    ASSERT_TRUE(answer) << version;
    EXPECT_EQ(answer->status, 200) << version;
    EXPECT_EQ(answer->chunked, version == "HTTP/1.1") << version;
    EXPECT_FALSE(answer->header("Content-Length")) << version;
    EXPECT_TRUE(answer->body == media) << version << ": " << answer->body.size() << " bytes";
  }
}

// Without chunks or a length only the end of the connection marks the end of the body: when the
// origin breaks off (and will not give the rest), the HTTP/1.0 player must see a reset, not a
// close that passes the part for the whole. So does the HTTP/1.1 one: players take a clean close
// after a short chunked body for its end too.
TEST(HLSProxyServer, CutOffBodyOfUnknownLengthEndsThePlayersConnectionWithAReset) {
  TestHttpServer origin;
  TestHttpResponse broken = TestHttpResponse::ok(std::string(200'000, 'm'), "video/mp2t");
  broken.mode = TestHttpResponse::Mode::chunkedStallAfterHead;
  origin.route("/v/cut.ts", broken);
  ProxyFixture proxy;
  for (const std::string version : {"HTTP/1.0", "HTTP/1.1"}) {
    auto player = playerAsking(proxy, proxy.local(origin.url("/v/cut.ts")), version);
    ASSERT_TRUE(player);
    const std::string head = player->readUntil("\r\n\r\n", std::chrono::seconds(20));
    ASSERT_TRUE(head.starts_with("HTTP/1.1 200")) << version << ": " << head;
    // The origin's half may still be on its way out, and the proxy's try for the rest stalls
    // too: the origin breaks off whatever it holds until the player's answer ends.
    bool closed = false;
    for (int tries = 0; tries < 40 && !closed; ++tries) {
      origin.closeStalled();
      closed = player->waitForClose(std::chrono::milliseconds(500));
    }
    ASSERT_TRUE(closed) << version;
    EXPECT_TRUE(player->wasReset()) << version;
    EXPECT_FALSE(player->received().ends_with("0\r\n\r\n")) << version;
  }
}

// A multi-range answer is split at the boundary named in its type; a player given the bare
// type cannot read it. A type the origin left out still takes the proxy's default.
TEST(HLSProxyServer, MultiRangeAnswerKeepsItsBoundary) {
  TestHttpServer origin;
  const std::string type = "multipart/byteranges; boundary=3d6b6a416f9b5";
  const std::string parts =
      "--3d6b6a416f9b5\r\nContent-Type: video/mp2t\r\nContent-Range: bytes 0-1/10\r\n\r\n01"
      "\r\n--3d6b6a416f9b5\r\nContent-Type: video/mp2t\r\nContent-Range: bytes 5-9/10\r\n\r\n"
      "56789\r\n--3d6b6a416f9b5--\r\n";
  TestHttpResponse multi = TestHttpResponse::ok(parts, type);
  multi.status = 206;
  origin.route("/m.ts", multi);
  TestHttpResponse untyped = TestHttpResponse::ok("0123456789");
  untyped.honourRange = true;
  origin.route("/u.ts", untyped);
  ProxyFixture proxy;
  const auto fetchRanges = [&](const std::string& path, const std::string& range) {
    return RawHttpResponse::parse(ChildProcess::run({"curl", "-s", "-i", "-H", "Range: " + range,
                                                     proxy.local(origin.url(path))})
                                      .output);
  };
  const auto answer = fetchRanges("/m.ts", "bytes=0-1,5-9");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 206);
  EXPECT_EQ(answer->header("Content-Type"), type);
  EXPECT_EQ(answer->body, parts);
  EXPECT_EQ(origin.requests().back().header("range"), "bytes=0-1,5-9");
  const auto bare = fetchRanges("/u.ts", "bytes=2-4");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->body, "234");
  EXPECT_EQ(bare->header("Content-Type"), "video");
}

// The player reads a segment while the origin still sends it; when the origin breaks off and
// will not give the rest, the player's answer ends short with a reset instead of hanging. When
// it gives the rest from the byte reached, the player gets the segment whole.
TEST(HLSProxyServer, SegmentReachesThePlayerAsItArrivesAndGoesOnOrIsResetWhenTheOriginBreaksOff) {
  TestHttpServer origin;
  const std::string firstHalf = std::string(149'994, 'a') + "<half>";
  TestHttpResponse broken =
      TestHttpResponse::ok(firstHalf + std::string(150'000, 'b'), "video/mp2t");
  broken.mode = TestHttpResponse::Mode::stallAfterHead;
  origin.route("/v/cut.ts", broken);
  ProxyFixture proxy;
  auto player = playerAsking(proxy, proxy.local(origin.url("/v/cut.ts")));
  ASSERT_TRUE(player);
  const std::string early = player->readUntil("<half>", std::chrono::seconds(20));
  ASSERT_NE(early.find("<half>"), std::string::npos) << "the first half arrives while the "
                                                        "origin holds back the rest";
  EXPECT_NE(early.find("Content-Length: 300000"), std::string::npos) << early.substr(0, 300);

  // The origin breaks off whatever it holds (the proxy's try for the rest stalls too) until the
  // player's answer ends; a first half still on its way out is broken off once it has gone.
  const auto breakOffUntilAnswered = [&](LoopbackClient& asking) {
    bool closed = false;
    for (int tries = 0; tries < 40 && !closed; ++tries) {
      origin.closeStalled();
      closed = asking.waitForClose(std::chrono::milliseconds(500));
    }
    return closed;
  };
  ASSERT_TRUE(breakOffUntilAnswered(*player)) << "the player is left waiting";
  EXPECT_TRUE(player->wasReset());
  const std::string& all = player->received();
  const size_t body = all.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos);
  EXPECT_EQ(all.substr(body + 4), firstHalf) << "what came, and nothing made up after it";

  // An origin that gives the rest, as one that honours ranges does (before: the player got half).
  const std::string whole = firstHalf + std::string(150'000, 'b');
  origin.route("/v/resumed.ts", [&](const TestHttpRequest& request) {
    TestHttpResponse answer = TestHttpResponse::ok(whole, "video/mp2t");
    answer.headers.emplace_back("Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT");
    if (request.header("range")) {
      answer.honourRange = true;
    } else {
      answer.mode = TestHttpResponse::Mode::stallAfterHead;
    }
    return answer;
  });
  auto resumed = playerAsking(proxy, proxy.local(origin.url("/v/resumed.ts")));
  ASSERT_TRUE(resumed);
  ASSERT_NE(resumed->readUntil("<half>", std::chrono::seconds(20)).find("<half>"),
            std::string::npos);
  ASSERT_TRUE(breakOffUntilAnswered(*resumed));
  const auto answer = RawHttpResponse::parse(resumed->received());
  ASSERT_TRUE(answer);
  EXPECT_FALSE(resumed->wasReset());
  EXPECT_EQ(answer->status, 200);
  EXPECT_TRUE(answer->body == whole) << answer->body.size() << " bytes";
}

// An application that switches streams cleans up one proxy and starts the next at once, while
// the player may still wait for a playlist of the old one.
TEST(HLSProxyServer, CleanupFreesThePortAtOnceWhileAPlaylistFetchIsInFlight) {
  TestHttpServer origin;
  Latch asked;
  const std::string media = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\ns.ts\n";
  origin.route("/v/index.m3u8", [&](const TestHttpRequest&) {
    asked.countDown();
    TestHttpResponse held = TestHttpResponse::ok(media, "application/vnd.apple.mpegurl");
    held.mode = TestHttpResponse::Mode::heldUntilReleased;
    return held;
  });
  origin.route("/v/other.ts", TestHttpResponse::ok("next", "video/mp2t"));
  ProxyFixture proxy;
  const int port = proxy.port();
  ASSERT_GT(port, 0);
  EXPECT_FALSE(proxy.proxy().reverseProxyURL(*Url::parse("ftp://o/x.m3u8")));
  const std::string local = proxy.local(origin.url("/v/index.m3u8"));
  const std::string target = local.substr(local.find('/', std::string("http://").size()));
  auto player = LoopbackClient::connect(static_cast<uint16_t>(port));
  ASSERT_TRUE(player);
  ASSERT_TRUE(player->send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  ASSERT_TRUE(asked.waitFor(1)) << "the playlist fetch is in flight";

  proxy.proxy().cleanup();
  EXPECT_FALSE(proxy.proxy().reverseProxyURL(*Url::parse("http://o/x.m3u8")));
  EXPECT_FALSE(LoopbackClient::connect(static_cast<uint16_t>(port)))
      << "nothing listens once cleanup() returns";

  // The next stream's proxy takes the same port and serves it.
  ProxyManagerSeams::overridePort(static_cast<uint16_t>(port));
  auto analytics = AnalyticsManager::create();
  ProxyManager next("video-2", "client-1", *analytics);
  next.startServer();
  const auto nextLocal = next.reverseProxyURL(*Url::parse(origin.url("/v/other.ts")));
  ASSERT_TRUE(nextLocal);
  EXPECT_EQ(nextLocal->port(), port);
  const Fetched fetched = fetch(nextLocal->toString());
  EXPECT_EQ(fetched.status, 200);
  EXPECT_EQ(fetched.body, "next");

  // The answer in flight still reaches the player.
  origin.release("/v/index.m3u8");
  const auto answer = RawHttpResponse::parse(player->readAll());
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_NE(answer->body.find("127.0.0.1:" + std::to_string(port) + "/"), std::string::npos)
      << "rewritten for the port the player was using: " << answer->body;
}

TEST(HLSProxyServer, MasterPlaylistAtAPathWithoutExtensionIsPinnedAndStored) {
  TestHttpServer origin;
  const std::string master =
      "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=2000000,RESOLUTION=1280x720\nhigh/index\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=500000,RESOLUTION=640x360\nlow/index\n";
  const std::string media =
      "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:7\n#EXTINF:2,\ns0.ts\n";
  origin.route("/live/master", TestHttpResponse::ok(master, "application/x-mpegURL"));
  origin.route("/live/low/index", TestHttpResponse::ok(media, "application/x-mpegURL"));
  ManifestController::shared().cleanup();
  ProxyFixture proxy;  // level 0: the lowest variant
  const Fetched pinned = fetch(proxy.local(origin.url("/live/master")));
  EXPECT_EQ(pinned.status, 200);
  EXPECT_EQ(pinned.body.find("high/index"), std::string::npos) << pinned.body;
  EXPECT_NE(pinned.body.find("/live/low/index"), std::string::npos) << pinned.body;
  EXPECT_EQ(fetch(proxy.local(origin.url("/live/low/index"))).status, 200);

  const auto stored = ManifestController::shared().primaryManifest();
  ASSERT_TRUE(stored) << "the master playlist is stored";
  EXPECT_EQ(stored->url().toString(), origin.url("/live/master"));
  const auto infos =
      ManifestController::shared().getSegmentInfo(*Url::parse(origin.url("/live/low/s0.ts")));
  ASSERT_EQ(infos.size(), 1u) << "its segments have an identity";
  EXPECT_EQ(infos[0].segmentNumber(), 7);
  EXPECT_EQ(infos[0].resolution(), "640x360");
}

// A playlist too large for the store is not stored whatever the store held before, and its
// player gets an error it can retry rather than a playlist whose segments have no identity.
TEST(HLSProxyServer, PlaylistTooLargeToStoreIsAnsweredWithAnErrorAndNotKept) {
  TestHttpServer origin;
  const std::string master = "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nv.m3u8\n";
  std::string large = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#";
  large.append(ManifestController::kMaxStoredBytes, 'c');
  large.append("\n#EXTINF:2,\ns0.ts\n");
  origin.route("/master.m3u8", TestHttpResponse::ok(master, "application/x-mpegURL"));
  origin.route("/v.m3u8", TestHttpResponse::ok(std::move(large), "application/x-mpegURL"));
  ManifestController::shared().cleanup();
  ProxyFixture proxy;
  EXPECT_EQ(fetch(proxy.local(origin.url("/master.m3u8"))).status, 200);
  EXPECT_EQ(fetch(proxy.local(origin.url("/v.m3u8"))).status, 500);
  EXPECT_TRUE(ManifestController::shared().versions().empty());
  EXPECT_TRUE(ManifestController::shared().primaryManifest());
}

}  // namespace
}  // namespace ombrelia::test
