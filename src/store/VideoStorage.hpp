#pragma once
// Any thread. Saves, memory-pressure trims and emptying run one at a time on the store's serial
// queue; readers take an immutable snapshot of the list under a short lock and search it outside.
// "NewOmbreliaSegmentAvailable" is posted from the store's queue after the list is published and
// no lock is held, so an observer may read the store. Whoever frees the last copy of a stored
// segment's bytes, on its own thread, only posts the waiting segment's next look to that queue.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <ombrelia/Data.hpp>
#include <ombrelia/SegmentInfo.hpp>
#include <ombrelia/Url.hpp>

#include "store/BufferData.hpp"
#include "store/SegmentAvailabilityAndPosition.hpp"
#include "store/SegmentData.hpp"
#include "store/StoredBuffers.hpp"

namespace ombrelia {

namespace platform {
class DispatchQueue;
class MemoryPressureSource;
}  // namespace platform

// The in-memory store of downloaded segments, for repeated and critical player requests and for
// uploading to other viewers. Nothing is written to disk.
class VideoStorage : public std::enable_shared_from_this<VideoStorage> {
 public:
  using Segments = std::vector<std::shared_ptr<const SegmentData>>;

  // Segments kept after a save, and how many go when a save passes that.
  static constexpr size_t maxSize = 300;
  static constexpr size_t baseReducer = 30;
  // Segments dropped on a memory warning and on critical pressure: a quarter and a half.
  static constexpr size_t warningReducer = 75;
  static constexpr size_t criticalReducer = 150;
  // Bytes held at most: 300 segments of 1080p video are well over 1 GB, so the count alone does
  // not bound memory. A segment's bytes count from its saving until the last copy anywhere goes,
  // so the segments evicted while a player or a peer still reads them count too. The oldest
  // segments go first; a segment that finds no room even so waits (the newest one only) until
  // the readers let go, and is not stored when another comes first.
  static constexpr size_t kMaxStoredBytes = size_t{512} * 1024 * 1024;
  // Payload bytes per chunk frame; with the 24-byte header a frame stays under the 16 KiB that
  // every data-channel implementation delivers in one message.
  static constexpr size_t maxChunkSize = 15900;
  static constexpr size_t kChunkHeaderBytes = 24;
  // Posted with a std::shared_ptr<const SegmentData> as its object.
  static constexpr const char* kNewSegmentNotification = "NewOmbreliaSegmentAvailable";
  // Posted with the store (a const VideoStorage*) as its object when a segment finds no room
  // beside the evicted segments still held: uploads of those give way.
  static constexpr const char* kSegmentWaitsForRoomNotification = "OmbreliaSegmentWaitsForRoom";

  using Uuid = std::array<uint8_t, 16>;

  struct Settings {
    size_t maxStoredBytes = kMaxStoredBytes;
  };

  static const std::shared_ptr<VideoStorage>& shared();
  // A store fed by the given memory-pressure source (the shared store uses the host's).
  [[nodiscard]] static std::shared_ptr<VideoStorage> create(
      std::shared_ptr<platform::MemoryPressureSource> memoryPressure);
  [[nodiscard]] static std::shared_ptr<VideoStorage> create(
      std::shared_ptr<platform::MemoryPressureSource> memoryPressure, Settings settings);
  ~VideoStorage();
  VideoStorage(const VideoStorage&) = delete;
  VideoStorage& operator=(const VideoStorage&) = delete;

  // Returns at once; the segment is stored, announced and the list trimmed later, in call order.
  void saveData(Url url, Data data, std::string contentType, SegmentInfo segmentInfo,
                std::string videoID);
  // The newest stored segment of that video with that type ("video", "audio", "unknown"; any other
  // text reads as unknown), number and quality; null when none.
  std::shared_ptr<const SegmentData> getSegment(std::string_view mediaType, int64_t quality,
                                                int64_t segmentNumber,
                                                std::string_view videoID) const;
  // The same lookup keyed by the identity's type, targetQuality and segmentNumber.
  std::shared_ptr<const SegmentData> getSegment(const SegmentInfo& segmentInfo,
                                                std::string_view videoID) const;
  // Oldest first.
  Segments getSegments() const;
  // Empties the store once every save queued before has run.
  void removeAll();
  // Waits until every save and trim queued so far has run.
  void waitUntilIdle();
  // The bytes of every segment saved that are still in memory: those stored, and those evicted
  // that something (a player's answer, an upload) still holds. At most maxStoredBytes.
  size_t heldBytes() const;

  // Read-outs for the peer exchange. They must not be called from the store's queue.
  SegmentAvailabilityAndPosition isSegmentAvailable(std::string_view mediaType, int64_t quality,
                                                    int64_t segmentNumber,
                                                    std::string_view videoID) const;
  int64_t getSt(int64_t segmentNumber) const;
  int64_t getSte(int64_t segmentNumber) const;
  BufferData getBufferFrom(std::string_view mediaType, int64_t quality, int64_t segmentNumber,
                           std::string_view videoID) const;
  int64_t getNumberOfChunksFor(const Data& data) const;
  // The frames of one transfer: the request's 16 UUID bytes, the payload's offset in the segment
  // as 8 big-endian bytes, then at most maxChunkSize payload bytes.
  std::vector<Data> getChunksFor(const Data& data, const Uuid& uuid) const;

 private:
  VideoStorage();
  void store(std::shared_ptr<const SegmentData> segment);
  // Stores the segment if its bytes fit beside what is held, or keeps it waiting for room.
  void admit(std::shared_ptr<const SegmentData> segment);
  void admitWaiting();
  // Evicts the `count` oldest segments of `segments`; the bytes freed unless held elsewhere.
  size_t evictOldest(Segments& segments, size_t count);
  void dropWaiting();
  void handleMemoryPressure(unsigned events);
  void publish(std::shared_ptr<const Segments> segments);
  std::shared_ptr<const Segments> snapshot() const;
  std::shared_ptr<const SegmentData> find(SegmentType type, int64_t quality, int64_t segmentNumber,
                                          std::string_view videoID) const;
  std::shared_ptr<const SegmentData> lookup(std::string_view mediaType, int64_t quality,
                                            int64_t segmentNumber, std::string_view videoID) const;

  std::shared_ptr<platform::DispatchQueue> segmentsBarrier_;
  std::shared_ptr<platform::MemoryPressureSource> dispatchSource_;
  std::shared_ptr<StoredBuffers> buffers_;
  // The newest segment that found no room; touched on segmentsBarrier_ only.
  std::shared_ptr<const SegmentData> waiting_;
  mutable std::mutex mutex_;  // guards segments_
  std::shared_ptr<const Segments> segments_;
};

}  // namespace ombrelia
