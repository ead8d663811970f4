#include <gtest/gtest.h>

#include "support/ChildProcess.hpp"
#include "support/StreamOrigin.hpp"
#include "support/SampleStream.hpp"

using namespace ombrelia::test;

// The e2e fixtures themselves: a stream that ffmpeg made and nginx serves.
TEST(Fixtures, OriginServesAGeneratedStreamWithRedirectAndMissingLocations) {
  const std::string folder = SampleStream::folder("ts3");
  StreamOrigin origin(folder);
  ASSERT_TRUE(origin.running());
  auto status = [&](const std::string& path) {
    return ChildProcess::run(
               {"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", origin.url(path)})
        .output;
  };
  EXPECT_EQ(status("/master.m3u8"), "200");
  EXPECT_EQ(status("/v2/seg0.ts"), "200");
  EXPECT_EQ(status("/redirect/v0/index.m3u8"), "302");
  EXPECT_EQ(status("/missing/v0/seg0.ts"), "404");
  EXPECT_EQ(origin.accessLog().size(), 4u);
}
