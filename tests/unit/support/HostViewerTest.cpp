#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/ChildProcess.hpp"
#include "support/HostViewer.hpp"
#include "support/WaitScale.hpp"

using namespace ombrelia::test;

namespace {

const std::string kOwn = "0A1B2C3D-0000-4000-8000-00000000000A";
const std::string kStayed = "0A1B2C3D-0000-4000-8000-00000000000B";
const std::string kLeft = "0A1B2C3D-0000-4000-8000-00000000000C";
const std::string kDigest(64, 'e');
// The ordinary lines and the twelve of interest.
constexpr size_t kLines = 212;

}  // namespace

// The reader skips the patterns on lines that cannot hold them: every kind of line it keeps is
// still found among ordinary log lines, and lines that only resemble a table row are not taken.
TEST(HostViewer, FindsItsIdentifierPeersChannelsDigestsAndTableAmongLogLines) {
  const std::string script =
      "i=0; while [ $i -lt 200 ]; do echo \"[Info] [Proxy] request $i served  from origin\"; "
      "i=$((i+1)); done\n"
      "echo '[Info] [Signalling] Received UUID: " +
      kOwn +
      "'\n"
      "echo '[Info] [PeerList] receivedOffer, add peer: " +
      kLeft +
      "'\n"
      "echo '[Info] [PeerList] add peer: " +
      kStayed +
      "'\n"
      "echo '[Info] [PeerList] remove peer: " +
      kLeft +
      "'\n"
      "echo '[Info] [WebRTC] remote channel \"P2P\" opened'\n"
      "echo '[Info] [Uploader] segment is available: seg3.ts'\n"
      "echo 'digest v0/seg0.ts " +
      kDigest +
      "'\n"
      "echo 'Digest v0/seg1.ts " +
      kDigest +
      "'\n"
      "echo 'Stalls  9'\n"
      "echo 'result              played'\n"
      "echo 'bytes from peers    1234'\n"
      "echo 'seconds stalled     0'\n";
  HostViewer viewer(
      "printer", std::make_unique<ChildProcess>(std::vector<std::string>{"/bin/sh", "-c", script},
                                                ChildProcess::Settings{.captureStdout = true}));
  const auto until = std::chrono::steady_clock::now() + scaledWait(std::chrono::seconds(20));
  while (viewer.lines().size() < kLines && std::chrono::steady_clock::now() < until) viewer.poll();

  ASSERT_EQ(viewer.lines().size(), kLines);
  ASSERT_TRUE(viewer.uuid());
  EXPECT_EQ(*viewer.uuid(), kOwn);
  EXPECT_EQ(viewer.listedPeers(), std::set<std::string>{kStayed});
  EXPECT_EQ(viewer.channelsOpened(), 1u);
  EXPECT_TRUE(viewer.uploading());
  ASSERT_EQ(viewer.digests().size(), 1u);
  EXPECT_EQ(viewer.digests()[0].first, "v0/seg0.ts");
  EXPECT_TRUE(viewer.finished());
  EXPECT_EQ(viewer.row("result"), "played");
  EXPECT_EQ(viewer.number("bytes from peers"), 1234);
  EXPECT_FALSE(viewer.row("Stalls"));
}
