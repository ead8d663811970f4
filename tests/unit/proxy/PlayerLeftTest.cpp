// Work done for a player's request stops once the player has gone: a player that gives up on a
// large playlist and asks again must not leave rewrites queued for nobody.
#include <gtest/gtest.h>

#include <ombrelia/OmbreliaConfig.hpp>

#include "platform/CancellationToken.hpp"
#include "proxy/PlaylistRewriter.hpp"
#include "store/HLSManifestModifier.hpp"

namespace ombrelia {
namespace {

TEST(PlayerLeft, PinningAndRewritingStopOnceThePlayerHasGone) {
  OmbreliaConfig::configure("test-key");
  OmbreliaConfig::shared().setCurrentLevel(0);
  std::string master = "#EXTM3U\n";
  for (int i = 0; i < 2000; ++i) {
    master += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(1000 + i) +
              ",RESOLUTION=" + std::to_string(100 + i) + "x100\nv" + std::to_string(i) + ".m3u8\n";
  }
  const Url base = *Url::parse("http://origin.example/path/master.m3u8");
  const auto waiting = platform::CancellationToken::create();
  const auto gone = platform::CancellationToken::create();
  gone->cancel();

  const HLSManifestModifier pinner;
  const Data pinned = pinner.modifyManifest(Data(master), waiting.get());
  EXPECT_LT(pinned.size(), 100u) << "one variant is kept for a player that waits";
  EXPECT_EQ(pinner.modifyManifest(Data(master), gone.get()).size(), master.size())
      << "pinned for nobody";

  const PlaylistRewriter rewriter(8080);
  const auto rewritten = rewriter.rewrite(master, base, waiting.get());
  ASSERT_TRUE(rewritten);
  EXPECT_GT(rewritten->size(), master.size());
  EXPECT_FALSE(rewriter.rewrite(master, base, gone.get())) << "rewritten for nobody";
  OmbreliaConfig::shared().setCurrentLevel(std::nullopt);
}

}  // namespace
}  // namespace ombrelia
