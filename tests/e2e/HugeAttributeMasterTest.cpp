// A master whose one variant line holds millions of attributes, served by the example host
// application: the viewer reads, pins and rewrites it within what the playlist work budget
// counts for it, and a real stream behind it still plays, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "support/ChildProcess.hpp"
#include "support/PlaylistMemoryBound.hpp"
#include "support/ProxyFixture.hpp"
#include "support/ResidentMemory.hpp"
#include "support/ServedSampleStream.hpp"
#include "support/StreamOrigin.hpp"
#include "support/StreamPlayback.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;

// 4.4 million attributes of 11 bytes: 48 MB, about the most the store keeps. Under a sanitizer
// the viewer's resident memory is no measure of what it holds and each byte costs it ten times
// the CPU: there an eighth of them, and only what the player gets is checked.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kAttributes = 550000;
constexpr bool kMasterMemoryMeasured = false;
#else
constexpr size_t kAttributes = 4400000;
constexpr bool kMasterMemoryMeasured = true;
#endif

TEST(HugeAttributeMaster, OneVariantOfMillionsOfAttributesPeaksWithinItsBudgetAndStillPlays) {
  ServedSampleStream stream("ombrelia-attributes");
  std::string master = "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360";
  master.reserve(kAttributes * 11 + 100);
  char attribute[32];
  for (size_t i = 0; i < kAttributes; ++i) {
    std::snprintf(attribute, sizeof attribute, ",A%07zu=1", i);
    master += attribute;
  }
  master += "\nv0/index.m3u8\n";
  std::ofstream(stream.root() / "m" / "huge.m3u8", std::ios::binary) << master;
  {
    ASSERT_TRUE(stream.start("/m/huge.m3u8", test::scaledWait(10s))) << stream.failure();
    StreamOrigin& origin = stream.origin();
    ChildProcess& serve = stream.serve();
    const std::string& local = stream.localMaster();

    Fetched answer;
    const size_t peak = residentGrowth(serve.pid(), [&] { answer = fetchWithCurl(local); });
    ASSERT_EQ(answer.status, 200) << answer.body.substr(0, 300);
    const auto variants = localUrlsIn(answer.body);
    ASSERT_EQ(variants.size(), 1u);
    // While a tag kept every attribute: 738 MB for the 48 MB master, where the budget counted
    // 192 MB.
    if (kMasterMemoryMeasured) {
      EXPECT_LT(peak, onePlaylistMemoryBound(master, origin.url("/m/huge.m3u8")))
          << "resident memory rose by " << peak << " bytes for a master of " << master.size()
          << " bytes";
    }

    // The variant it names still plays, byte for byte.
    const Playback played = playThrough(local, stream.root().string());
    EXPECT_EQ(played.failure, "");
    EXPECT_EQ(played.segments, 4u);
    EXPECT_EQ(serve.stop(SIGTERM, 10s), 0);
  }
}

}  // namespace
}  // namespace ombrelia::test
