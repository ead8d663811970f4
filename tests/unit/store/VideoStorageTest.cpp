// The segment store: count and byte trimming, memory pressure, lookups, notification and
// concurrency.
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <set>
#include <thread>

#include <ombrelia/OLoggerConfig.hpp>
#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/VideoStorageManager.hpp>

#include "platform/DispatchQueue.hpp"
#include "platform/MemoryPressureSource.hpp"
#include "platform/NotificationCenter.hpp"
#include "store/VideoStorage.hpp"

namespace ombrelia {
namespace {

using platform::MemoryPressureSource;

SegmentInfo info(int64_t number, int64_t quality = 1, SegmentType type = SegmentType::video,
                 double duration = 6) {
  return SegmentInfo(type, 1000, 2000, "640x360", quality, number, duration);
}

class VideoStorageTest : public ::testing::Test {
 protected:
  explicit VideoStorageTest(VideoStorage::Settings settings = {})
      : storage_(VideoStorage::create(MemoryPressureSource::create(), settings)) {}
  void SetUp() override { OmbreliaConfig::configure("test-key"); }

  void save(int64_t number, const std::string& bytes = "x", const std::string& video = "vid",
            SegmentInfo identity = info(0)) {
    SegmentInfo segmentInfo(identity.type(), identity.bandwidth(), identity.bestBandwidth(),
                            identity.resolution(), identity.targetQuality(), number,
                            identity.duration());
    storage_->saveData(*Url::parse("http://o.test/" + std::to_string(number) + ".ts"), Data(bytes),
                       "video/mp2t", segmentInfo, video);
  }
  void saveRange(int64_t from, int64_t to) {
    for (int64_t n = from; n < to; ++n) save(n, "x", "vid", info(0));
    storage_->waitUntilIdle();
  }
  std::vector<int64_t> numbers() const {
    std::vector<int64_t> out;
    for (const auto& segment : storage_->getSegments())
      out.push_back(segment->segmentInfo().segmentNumber());
    return out;
  }
  void pressure(unsigned events) {
    MemoryPressureSource::raiseForTesting(events);
    platform::DispatchQueue::global()->drain();
    storage_->waitUntilIdle();
  }

  std::shared_ptr<VideoStorage> storage_;
};

TEST_F(VideoStorageTest, SaveBeyondThreeHundredDropsOldestThirty) {
  saveRange(0, 300);
  EXPECT_EQ(storage_->getSegments().size(), 300u);
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::debug);
  ::testing::internal::CaptureStdout();
  saveRange(300, 301);
  const std::string logged = ::testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  EXPECT_NE(logged.find("[VideoStorage] [Video storage] reducing cache - base reducer (271/300)\n"),
            std::string::npos)
      << logged;
  const auto kept = numbers();
  ASSERT_EQ(kept.size(), 271u);
  EXPECT_EQ(kept.front(), 30);
  EXPECT_EQ(kept.back(), 300);
}

TEST_F(VideoStorageTest, MemoryWarningAndCriticalTrimOldestOrClear) {
  saveRange(0, 80);
  pressure(MemoryPressureSource::warning);
  EXPECT_EQ(numbers(), (std::vector<int64_t>{75, 76, 77, 78, 79}));
  pressure(MemoryPressureSource::warning);
  EXPECT_TRUE(numbers().empty());

  saveRange(0, 200);
  pressure(MemoryPressureSource::warning | MemoryPressureSource::critical);
  EXPECT_EQ(numbers().size(), 200u);
  pressure(MemoryPressureSource::critical);
  ASSERT_EQ(numbers().size(), 50u);
  EXPECT_EQ(numbers().front(), 150);
  pressure(MemoryPressureSource::critical);
  EXPECT_TRUE(numbers().empty());
}

constexpr size_t kMiB = size_t{1} << 20;

// At the store's own budget: six distinct 100 MiB segments pass it, and the oldest goes first.
TEST_F(VideoStorageTest, ByteBudgetEvictsOldestFirst) {
  for (int64_t n = 0; n < 6; ++n) {
    storage_->saveData(*Url::parse("http://o.test/big.ts"),
                       Data(std::string(100 * kMiB, static_cast<char>('a' + n))), "video/mp2t",
                       info(n), "vid");
    storage_->waitUntilIdle();
  }
  EXPECT_EQ(numbers(), (std::vector<int64_t>{1, 2, 3, 4, 5}));
  size_t total = 0;
  for (const auto& segment : storage_->getSegments()) total += segment->data().size();
  EXPECT_LE(total, VideoStorage::kMaxStoredBytes);
  EXPECT_LE(storage_->heldBytes(), VideoStorage::kMaxStoredBytes);
  // Stored bytes are shared, not copied.
  const Data big(std::string(100 * kMiB, 'v'));
  storage_->saveData(*Url::parse("http://o.test/big.ts"), big, "video/mp2t", info(6), "vid");
  storage_->waitUntilIdle();
  EXPECT_EQ(numbers(), (std::vector<int64_t>{2, 3, 4, 5, 6}));
  EXPECT_EQ(storage_->getSegments().back()->data().bytes(), big.bytes());
}

// A store whose budget is a few 1 MiB segments, so that its bounds show without hundreds of MiB.
class SmallVideoStorageTest : public VideoStorageTest {
 protected:
  static constexpr size_t kBudget = 4 * kMiB;
  SmallVideoStorageTest() : VideoStorageTest(VideoStorage::Settings{kBudget}) {}
  void saveMiB(int64_t number) {
    storage_->saveData(*Url::parse("http://o.test/big.ts"), Data(std::string(kMiB, 'v')),
                       "video/mp2t", info(number), "vid");
    storage_->waitUntilIdle();
  }
  // Readers of stored segments, by the buffer they hold (a slice holds all of it).
  using Readers = std::map<const uint8_t*, Data>;
  void read(Readers& readers, int64_t number, size_t from, size_t length) {
    const Data stored = storage_->getSegment(info(number), "vid")->data();
    readers[stored.bytes()] = stored.slice(from, length);
  }
  // What the store holds and, beside it, the evicted segments' buffers readers still hold.
  size_t heldInAll(const Readers& readers) const {
    std::set<const uint8_t*> buffers;
    for (const auto& segment : storage_->getSegments()) buffers.insert(segment->data().bytes());
    for (const auto& reader : readers) buffers.insert(reader.first);
    return buffers.size() * kMiB;
  }
};

TEST_F(SmallVideoStorageTest, ByteBudgetEvictsOldestFirst) {
  for (int64_t n = 0; n < 6; ++n) saveMiB(n);
  EXPECT_EQ(numbers(), (std::vector<int64_t>{2, 3, 4, 5}));
  EXPECT_EQ(storage_->heldBytes(), kBudget);
  // Stored bytes are shared, not copied: one buffer stored twice counts once.
  const Data big(std::string(kMiB, 'w'));
  for (int64_t n = 6; n < 8; ++n)
    storage_->saveData(*Url::parse("http://o.test/big.ts"), big, "video/mp2t", info(n), "vid");
  storage_->waitUntilIdle();
  EXPECT_EQ(numbers(), (std::vector<int64_t>{3, 4, 5, 6, 7}));
  EXPECT_EQ(storage_->getSegments().back()->data().bytes(), big.bytes());
  EXPECT_EQ(storage_->heldBytes(), kBudget);
}

TEST_F(SmallVideoStorageTest, EvictedSegmentsStillReadCountUntilTheirReadersLetGo) {
  for (int64_t n = 0; n < 4; ++n) saveMiB(n);
  // Slow players answered from memory keep their answers (one only the tail a streamed answer
  // has left to send); an upload keeps the segment itself.
  Readers readers;
  for (int64_t n = 0; n < 2; ++n) read(readers, n, 0, kMiB);
  read(readers, 2, kMiB - 10, 10);
  auto upload = storage_->getSegment(info(3), "vid");
  readers[upload->data().bytes()];  // held by `upload`
  for (int64_t n = 4; n < 10; ++n) {
    saveMiB(n);
    EXPECT_LE(heldInAll(readers), kBudget) << "after saving segment " << n;
    EXPECT_EQ(storage_->heldBytes(), heldInAll(readers)) << "after saving segment " << n;
  }
  EXPECT_FALSE(storage_->getSegment(info(9), "vid")) << "stored beside what readers hold";

  // The readers let go: the newest segment, waiting, is stored, and the next ones find room.
  readers.clear();
  upload.reset();
  storage_->waitUntilIdle();
  EXPECT_TRUE(storage_->getSegment(info(9), "vid")) << "the waiting segment was not stored";
  saveMiB(10);
  EXPECT_TRUE(storage_->getSegment(info(10), "vid"));
  EXPECT_EQ(storage_->heldBytes(), heldInAll({}));
}

TEST_F(VideoStorageTest, LookupMatchesVideoTypeNumberAndQualityOnly) {
  save(7, "first", "vid", info(0, 2));
  save(7, "second", "vid", SegmentInfo(SegmentType::video, 1, 1, std::nullopt, 2, 7, 1));
  save(8, "unknown", "vid", info(0, 2, SegmentType::unknown));
  storage_->waitUntilIdle();
  auto found = storage_->getSegment("video", 2, 7, "vid");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->data().toString(), "second");
  EXPECT_FALSE(storage_->getSegment("video", 2, 7, "other"));
  EXPECT_FALSE(storage_->getSegment("audio", 2, 7, "vid"));
  EXPECT_FALSE(storage_->getSegment("VIDEO", 2, 7, "vid"));
  EXPECT_EQ(storage_->getSegment("VIDEO", 2, 8, "vid")->data().toString(), "unknown");
}

TEST_F(VideoStorageTest, ObserverReadingTheStoreIsNotifiedInOrderWithoutDeadlock) {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int64_t> notified;
  std::vector<size_t> visible;
  auto token = platform::NotificationCenter::defaultCenter().addObserver(
      VideoStorage::kNewSegmentNotification, [&](const platform::Notification& note) {
        auto segment = std::any_cast<std::shared_ptr<const SegmentData>>(note.object);
        // Reading the store from the observer must not wait on the save that notifies.
        const bool found =
            storage_->getSegment(segment->segmentInfo(), segment->videoID()) != nullptr;
        const size_t count = storage_->getSegments().size();
        std::lock_guard lock(mutex);
        notified.push_back(found ? segment->segmentInfo().segmentNumber() : -1);
        visible.push_back(count);
        changed.notify_all();
      });
  for (int64_t n = 1; n <= 5; ++n) save(n, "x", "vid", info(0));
  std::unique_lock lock(mutex);
  ASSERT_TRUE(
      changed.wait_for(lock, std::chrono::seconds(10), [&] { return notified.size() == 5; }));
  EXPECT_EQ(notified, (std::vector<int64_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(visible, (std::vector<size_t>{1, 2, 3, 4, 5}));
}

TEST_F(VideoStorageTest, ConcurrentSavesAndLookups) {
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done) {
        (void)storage_->getSegment("video", 0, 5, "vid");
        (void)storage_->getBufferFrom("video", 0, 0, "vid");
        (void)storage_->getSt(10);
        (void)storage_->getSte(10);
      }
    });
  }
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&, w] {
      for (int64_t n = 0; n < 400; ++n) save(w * 1000 + n, "x", "vid", info(0));
    });
  }
  for (auto& writer : writers) writer.join();
  pressure(MemoryPressureSource::warning);
  done = true;
  for (auto& reader : readers) reader.join();
  // 800 saves: 301 leave 271, then every 30 more trim back to 271, ending at 290; then the
  // warning drops 75.
  EXPECT_EQ(storage_->getSegments().size(), 290u - 75u);
}

}  // namespace
}  // namespace ombrelia
