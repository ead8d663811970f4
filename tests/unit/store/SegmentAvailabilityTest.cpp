// What the store answers to the peer exchange: readiness, distances, buffered seconds and the
// chunk frames.
#include <gtest/gtest.h>

#include <limits>

#include <ombrelia/OmbreliaConfig.hpp>

#include "store/VideoStorage.hpp"

namespace ombrelia {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

class SegmentAvailabilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OmbreliaConfig::configure("test-key");
    OmbreliaConfig::shared().setActivated(true);
    OmbreliaConfig::shared().setP2pActivated(true);
  }
  void save(int64_t number, int64_t quality = 2, std::string video = "vid", double duration = 6) {
    storage_->saveData(
        *Url::parse("http://o.test/s.ts"), Data(std::string("bytes")), "video/mp2t",
        SegmentInfo(SegmentType::video, 1, 1, std::nullopt, quality, number, duration),
        std::move(video));
    storage_->waitUntilIdle();
  }
  SegmentAvailabilityAndPosition ask(int64_t number, int64_t quality = 2,
                                     std::string_view video = "vid") const {
    return storage_->isSegmentAvailable("video", quality, number, video);
  }
  static void expect(const SegmentAvailabilityAndPosition& answer, SegmentPosition pos,
                     SegmentReady sr, int64_t qa) {
    EXPECT_EQ(answer.pos, pos);
    EXPECT_EQ(answer.sr, sr);
    EXPECT_EQ(answer.qa, qa);
  }

  std::shared_ptr<VideoStorage> storage_ = VideoStorage::create(nullptr);
};

TEST_F(SegmentAvailabilityTest, PositionFollowsTheNeighbours) {
  save(10);
  save(11);
  expect(ask(10), SegmentPosition::available, SegmentReady::ok, 2);
  expect(ask(11), SegmentPosition::slightlyAhead, SegmentReady::ok, 2);
  expect(ask(12), SegmentPosition::downloading, SegmentReady::downloading, 2);
  expect(ask(13), SegmentPosition::notAvailable, SegmentReady::notok, -1);
  expect(ask(9), SegmentPosition::notAvailable, SegmentReady::notok, -1);
  expect(ask(10, 3), SegmentPosition::notAvailable, SegmentReady::notok, -1);
  expect(ask(10, 2, "other"), SegmentPosition::notAvailable, SegmentReady::notok, -1);
}

TEST_F(SegmentAvailabilityTest, NothingIsAvailableWhilePeerExchangeIsOff) {
  save(10);
  save(11);
  OmbreliaConfig::shared().setP2pActivated(false);
  expect(ask(10), SegmentPosition::notAvailable, SegmentReady::notok, -1);
  OmbreliaConfig::shared().setP2pActivated(true);
  OmbreliaConfig::shared().setActivated(false);
  expect(ask(10), SegmentPosition::notAvailable, SegmentReady::notok, -1);
}

TEST_F(SegmentAvailabilityTest, ExtremeNumbersFromPeersDoNotOverflow) {
  save(kMax);
  expect(ask(kMax), SegmentPosition::slightlyAhead, SegmentReady::ok, 2);
  expect(ask(kMin), SegmentPosition::notAvailable, SegmentReady::notok, -1);
  EXPECT_EQ(storage_->getSt(kMin), -1);
  EXPECT_EQ(storage_->getSt(kMax), 0);
  EXPECT_EQ(storage_->getSte(kMax), -1);
  save(kMin);
  EXPECT_EQ(storage_->getSt(kMax), -1);
  EXPECT_EQ(storage_->getSt(kMin), 0);
  EXPECT_EQ(storage_->getSte(kMin), kMax);
  expect(ask(kMin + 1), SegmentPosition::downloading, SegmentReady::downloading, 2);
  EXPECT_EQ(storage_->getBufferFrom("video", 2, kMin, "vid").nrOfSegments, 2.0);
}

TEST_F(SegmentAvailabilityTest, BufferCountsStoredSecondsFromTheSegmentOn) {
  save(9);
  save(10);
  save(12);
  save(10, 3);
  save(11, 2, "other");
  const BufferData buffer = storage_->getBufferFrom("video", 2, 10, "vid");
  EXPECT_DOUBLE_EQ(buffer.bufferSeconds, 12.0);
  EXPECT_DOUBLE_EQ(buffer.nrOfSegments, 2.0);
  EXPECT_DOUBLE_EQ(storage_->getBufferFrom("VIDEO", 2, 0, "vid").nrOfSegments, 0.0);
}

TEST_F(SegmentAvailabilityTest, ChunkFramesCarryUuidOffsetAndAtMost15900Bytes) {
  const VideoStorage::Uuid uuid{0x12, 0x3e, 0x45, 0x67, 0xe8, 0x9b, 0x12, 0xd3,
                                0xa4, 0x56, 0x42, 0x66, 0x14, 0x17, 0x40, 0x00};
  auto bytesOf = [](size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
    return Data(std::move(bytes));
  };
  EXPECT_TRUE(storage_->getChunksFor(Data(), uuid).empty());
  EXPECT_EQ(storage_->getNumberOfChunksFor(Data()), 0);

  auto two = storage_->getChunksFor(bytesOf(15901), uuid);
  ASSERT_EQ(two.size(), 2u);
  ASSERT_EQ(two[1].size(), 25u);
  EXPECT_EQ(two[1].view().substr(16, 8), std::string_view("\0\0\0\0\0\0\x3E\x1C", 8));

  const Data segment = bytesOf(47700);
  auto three = storage_->getChunksFor(segment, uuid);
  ASSERT_EQ(three.size(), 3u);
  EXPECT_EQ(storage_->getNumberOfChunksFor(segment), 3);
  std::string reassembled;
  for (size_t i = 0; i < three.size(); ++i) {
    const std::string_view frame = three[i].view();
    ASSERT_EQ(frame.size(), 15924u);
    EXPECT_EQ(frame.substr(0, 16),
              std::string_view(reinterpret_cast<const char*>(uuid.data()), uuid.size()));
    uint64_t offset = 0;
    for (size_t b = 16; b < 24; ++b) offset = (offset << 8) | static_cast<uint8_t>(frame[b]);
    EXPECT_EQ(offset, i * 15900);
    reassembled.append(frame.substr(24));
  }
  EXPECT_EQ(reassembled, segment.view());
}

}  // namespace
}  // namespace ombrelia
