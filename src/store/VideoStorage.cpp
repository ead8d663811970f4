#include "store/VideoStorage.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/OmbreliaLogger.hpp>

#include "platform/DispatchQueue.hpp"
#include "platform/MemoryPressureSource.hpp"
#include "platform/NotificationCenter.hpp"

namespace ombrelia {
namespace {

bool storageLogging() {
  return OmbreliaLogger::isEnabled(OLogLevel::debug, OLogModule::videoStorage);
}
void storageDebug(const std::string& message) {
  OmbreliaLogger::debug(message, OLogModule::videoStorage);
}

std::string describeSegment(int64_t segmentNumber, std::string_view mediaType, int64_t quality) {
  std::string out = std::to_string(segmentNumber);
  out.append(" mediaType: ").append(mediaType).append(" quality: ").append(std::to_string(quality));
  return out;
}

std::string ofMax(size_t count) {
  // Appended piece by piece: GCC 12 at -O3 takes `"(" + std::string` for an overlapping copy.
  std::string out = "(";
  out.append(std::to_string(count)).append("/").append(std::to_string(VideoStorage::maxSize));
  return out.append(")");
}

// A number as "12.0" or "12.5": at least one digit after the point.
std::string decimal(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%.15g", value);
  std::string out(buffer);
  if (out.find_first_of(".eninf") == std::string::npos) out.append(".0");
  return out;
}

}  // namespace

const std::shared_ptr<VideoStorage>& VideoStorage::shared() {
  // Lives until the process ends.
  static const auto* instance =
      new std::shared_ptr<VideoStorage>(create(platform::MemoryPressureSource::create()));
  return *instance;
}

std::shared_ptr<VideoStorage> VideoStorage::create(
    std::shared_ptr<platform::MemoryPressureSource> memoryPressure) {
  return create(std::move(memoryPressure), Settings{});
}

std::shared_ptr<VideoStorage> VideoStorage::create(
    std::shared_ptr<platform::MemoryPressureSource> memoryPressure, Settings settings) {
  std::shared_ptr<VideoStorage> storage(new VideoStorage());
  std::weak_ptr<VideoStorage> weak = storage;
  // Runs where a reader let go of the last evicted bytes in the way of the waiting segment.
  storage->buffers_ = StoredBuffers::create(settings.maxStoredBytes, [weak] {
    if (auto self = weak.lock()) {
      self->segmentsBarrier_->async([weak] {
        if (auto store = weak.lock()) store->admitWaiting();
      });
    }
  });
  storage->dispatchSource_ = std::move(memoryPressure);
  if (storage->dispatchSource_) {
    std::weak_ptr<platform::MemoryPressureSource> weakSource = storage->dispatchSource_;
    storage->dispatchSource_->setEventHandler([weak, weakSource](unsigned events) {
      auto self = weak.lock();
      auto source = weakSource.lock();
      if (!self || !source || source->isCancelled()) return;
      self->segmentsBarrier_->async([weak, events] {
        if (auto store = weak.lock()) store->handleMemoryPressure(events);
      });
    });
    storage->dispatchSource_->activate();
  }
  return storage;
}

VideoStorage::VideoStorage()
    : segmentsBarrier_(platform::DispatchQueue::create("segmentsBarrier")),
      segments_(std::make_shared<const Segments>()) {}

VideoStorage::~VideoStorage() {
  if (dispatchSource_) dispatchSource_->cancel();
}

void VideoStorage::saveData(Url url, Data data, std::string contentType, SegmentInfo segmentInfo,
                            std::string videoID) {
  // An empty body is no segment: stored, it would be announced to peers and served as one.
  if (data.empty()) return;
  auto segment =
      std::make_shared<const SegmentData>(std::move(url), std::move(data), std::move(contentType),
                                          std::move(segmentInfo), std::move(videoID));
  segmentsBarrier_->async([weak = weak_from_this(), segment = std::move(segment)]() mutable {
    if (auto self = weak.lock()) self->store(std::move(segment));
  });
}

void VideoStorage::store(std::shared_ptr<const SegmentData> segment) {
  // Runs on segmentsBarrier_, the only writer, so the list cannot change underneath. A newer
  // segment goes before one still waiting for room, which is then not stored.
  dropWaiting();
  std::shared_ptr<const Segments> current = snapshot();
  const SegmentInfo& info = segment->segmentInfo();
  if (storageLogging()) {
    storageDebug(
        "save segment " + ofMax(current->size()) + ": " +
        describeSegment(info.segmentNumber(), rawValue(info.type()), info.targetQuality()));
  }
  const size_t cost = buffers_->costOf(segment->data());
  if (cost > buffers_->maxBytes()) {
    storageDebug("[Video storage] segment larger than the byte budget, not stored");
    return;
  }
  // Evicting counts as freeing here; what a reader still holds stays counted until it lets go,
  // and admit() then finds no room.
  size_t evicted = 0;
  size_t freed = 0;
  if (current->size() + 1 > maxSize && current->size() + 1 > baseReducer) {
    for (; evicted < baseReducer; ++evicted) freed += buffers_->leave((*current)[evicted]->data());
    if (storageLogging()) {
      storageDebug("[Video storage] reducing cache - base reducer " +
                   ofMax(current->size() + 1 - evicted));
    }
  }
  const size_t byCount = evicted;
  // The stored buffers among these cannot go meanwhile: only those evicted before may.
  const size_t held = buffers_->heldBytes();
  const size_t elsewhere = held - freed - buffers_->storedBytes();
  // When what readers hold of evicted segments leaves no room even for the stored ones gone,
  // the stored ones stay: losing them would free nothing the newcomer could use.
  const bool evictionHelps = elsewhere + cost <= buffers_->maxBytes();
  while (evictionHelps && evicted < current->size() && held - freed + cost > buffers_->maxBytes()) {
    freed += buffers_->leave((*current)[evicted]->data());
    ++evicted;
  }
  if (evicted > byCount && storageLogging()) {
    storageDebug("[Video storage] reducing cache - byte budget " +
                 ofMax(current->size() + 1 - evicted));
  }
  if (evicted > 0) {
    publish(std::make_shared<const Segments>(
        current->begin() + static_cast<std::ptrdiff_t>(evicted), current->end()));
  }
  // The evicted segments nobody else holds are freed here, so admit() sees their room.
  current.reset();
  admit(std::move(segment));
}

void VideoStorage::admit(std::shared_ptr<const SegmentData> segment) {
  if (!buffers_->fitsOrWait(buffers_->costOf(segment->data()))) {
    if (storageLogging()) {
      storageDebug(
          "[Video storage] segment waits for room: " + std::to_string(buffers_->heldBytes()) +
          " bytes held, evicted ones still being read among them");
    }
    waiting_ = std::move(segment);
    platform::NotificationCenter::defaultCenter().post(kSegmentWaitsForRoomNotification,
                                                       static_cast<const VideoStorage*>(this));
    return;
  }
  buffers_->enter(segment->data());
  const std::shared_ptr<const Segments> current = snapshot();
  auto next = std::make_shared<Segments>();
  next->reserve(current->size() + 1);
  *next = *current;
  next->push_back(segment);
  publish(std::move(next));

  // Posted with no lock held, from the store's serial queue, so observers see saves in order
  // and may read the store.
  platform::NotificationCenter::defaultCenter().post(kNewSegmentNotification,
                                                     std::shared_ptr<const SegmentData>(segment));
}

void VideoStorage::admitWaiting() {
  buffers_->rearm();
  if (auto segment = std::exchange(waiting_, nullptr)) admit(std::move(segment));
}

void VideoStorage::dropWaiting() {
  buffers_->stopWaiting();
  if (waiting_ && storageLogging())
    storageDebug("[Video storage] segment that waited for room not stored");
  waiting_.reset();
}

size_t VideoStorage::evictOldest(Segments& segments, size_t count) {
  count = std::min(count, segments.size());
  size_t freed = 0;
  for (size_t i = 0; i < count; ++i) freed += buffers_->leave(segments[i]->data());
  segments.erase(segments.begin(), segments.begin() + static_cast<std::ptrdiff_t>(count));
  return freed;
}

void VideoStorage::handleMemoryPressure(unsigned events) {
  size_t reducer = 0;
  const char* name = nullptr;
  if (events == platform::MemoryPressureSource::warning) {
    reducer = warningReducer;
    name = "warning";
  } else if (events == platform::MemoryPressureSource::critical) {
    reducer = criticalReducer;
    name = "critical";
  } else {
    storageDebug("MemoryPressureMonitor: Unknown Event");
    return;
  }
  // Under pressure a segment waiting for room gives way first.
  dropWaiting();
  auto next = std::make_shared<Segments>(*snapshot());
  evictOldest(*next, reducer);
  const size_t left = next->size();
  publish(std::move(next));
  if (left > 0) {
    if (storageLogging())
      storageDebug(std::string("reducing cache - ") + name + " reducer " + ofMax(left));
  } else {
    storageDebug(std::string("clearing cache - ") + name);
  }
}

void VideoStorage::publish(std::shared_ptr<const Segments> segments) {
  std::lock_guard lock(mutex_);
  segments_ = std::move(segments);
}

std::shared_ptr<const VideoStorage::Segments> VideoStorage::snapshot() const {
  std::lock_guard lock(mutex_);
  return segments_;
}

VideoStorage::Segments VideoStorage::getSegments() const { return *snapshot(); }

void VideoStorage::removeAll() {
  segmentsBarrier_->sync([this] {
    dropWaiting();
    auto none = std::make_shared<Segments>(*snapshot());
    evictOldest(*none, none->size());
    publish(std::move(none));
  });
}

void VideoStorage::waitUntilIdle() { segmentsBarrier_->drain(); }

size_t VideoStorage::heldBytes() const { return buffers_->heldBytes(); }

std::shared_ptr<const SegmentData> VideoStorage::find(SegmentType type, int64_t quality,
                                                      int64_t segmentNumber,
                                                      std::string_view videoID) const {
  const std::shared_ptr<const Segments> segments = snapshot();
  for (auto it = segments->rbegin(); it != segments->rend(); ++it) {
    const SegmentData& candidate = **it;
    const SegmentInfo& info = candidate.segmentInfo();
    if (info.segmentNumber() == segmentNumber && info.targetQuality() == quality &&
        info.type() == type && candidate.videoID() == videoID) {
      return *it;
    }
  }
  return nullptr;
}

std::shared_ptr<const SegmentData> VideoStorage::lookup(std::string_view mediaType, int64_t quality,
                                                        int64_t segmentNumber,
                                                        std::string_view videoID) const {
  const SegmentType type = makeSegmentType(mediaType).value_or(SegmentType::unknown);
  auto found = find(type, quality, segmentNumber, videoID);
  if (storageLogging()) {
    storageDebug((found ? "Segment found: " : "Segment NOT found: ") +
                 describeSegment(segmentNumber, mediaType, quality));
  }
  return found;
}

std::shared_ptr<const SegmentData> VideoStorage::getSegment(std::string_view mediaType,
                                                            int64_t quality, int64_t segmentNumber,
                                                            std::string_view videoID) const {
  if (storageLogging())
    storageDebug("search segment: " + describeSegment(segmentNumber, mediaType, quality));
  return lookup(mediaType, quality, segmentNumber, videoID);
}

std::shared_ptr<const SegmentData> VideoStorage::getSegment(const SegmentInfo& segmentInfo,
                                                            std::string_view videoID) const {
  return lookup(rawValue(segmentInfo.type()), segmentInfo.targetQuality(),
                segmentInfo.segmentNumber(), videoID);
}

SegmentAvailabilityAndPosition VideoStorage::isSegmentAvailable(std::string_view mediaType,
                                                                int64_t quality,
                                                                int64_t segmentNumber,
                                                                std::string_view videoID) const {
  const std::string about = describeSegment(segmentNumber, mediaType, quality);
  const SegmentAvailabilityAndPosition notAvailable{SegmentPosition::notAvailable,
                                                    SegmentReady::notok, -1};
  const OmbreliaConfig& config = OmbreliaConfig::shared();
  if (!config.p2pActivated() || !config.activated()) {
    storageDebug("segment is NOT available because the P2P is disabled: " + about);
    return notAvailable;
  }
  // Numbers come from peers: a neighbour beyond the 64-bit range is simply not stored.
  auto stored = [&](int64_t number) {
    return getSegment(mediaType, quality, number, videoID) != nullptr;
  };
  int64_t neighbour = 0;
  if (stored(segmentNumber)) {
    if (!__builtin_add_overflow(segmentNumber, 1, &neighbour) && stored(neighbour)) {
      storageDebug("segment is available with position 3: " + about);
      return {SegmentPosition::available, SegmentReady::ok, quality};
    }
    storageDebug("segment is available with position 2: " + about);
    return {SegmentPosition::slightlyAhead, SegmentReady::ok, quality};
  }
  if (!__builtin_sub_overflow(segmentNumber, 1, &neighbour) && stored(neighbour)) {
    storageDebug("segment is currently downloading: " + about);
    return {SegmentPosition::downloading, SegmentReady::downloading, quality};
  }
  storageDebug("segment is NOT available: " + about);
  return notAvailable;
}

int64_t VideoStorage::getSt(int64_t segmentNumber) const {
  const std::shared_ptr<const Segments> segments = snapshot();
  if (segments->empty()) return -1;
  int64_t difference = 0;
  if (__builtin_sub_overflow(segmentNumber, segments->back()->segmentInfo().segmentNumber(),
                             &difference)) {
    return -1;
  }
  return difference < 0 ? -1 : difference;
}

int64_t VideoStorage::getSte(int64_t segmentNumber) const {
  const std::shared_ptr<const Segments> segments = snapshot();
  for (auto it = segments->rbegin(); it != segments->rend(); ++it) {
    const int64_t number = (*it)->segmentInfo().segmentNumber();
    if (number > segmentNumber) return number;
  }
  return -1;
}

BufferData VideoStorage::getBufferFrom(std::string_view mediaType, int64_t quality,
                                       int64_t segmentNumber, std::string_view videoID) const {
  const SegmentType type = makeSegmentType(mediaType).value_or(SegmentType::unknown);
  const std::shared_ptr<const Segments> segments = snapshot();
  BufferData buffer;
  for (const auto& segment : *segments) {
    const SegmentInfo& info = segment->segmentInfo();
    if (segment->videoID() == videoID && info.type() == type &&
        info.segmentNumber() >= segmentNumber && info.targetQuality() == quality) {
      buffer.bufferSeconds += info.duration();
      buffer.nrOfSegments += 1;
    }
  }
  if (storageLogging()) {
    storageDebug("buffer for: " + describeSegment(segmentNumber, mediaType, quality) +
                 " is nrOfSegments: " + std::to_string(static_cast<int64_t>(buffer.nrOfSegments)) +
                 ", bufferSeconds: " + decimal(buffer.bufferSeconds));
  }
  return buffer;
}

int64_t VideoStorage::getNumberOfChunksFor(const Data& data) const {
  return static_cast<int64_t>((data.size() + maxChunkSize - 1) / maxChunkSize);
}

std::vector<Data> VideoStorage::getChunksFor(const Data& data, const Uuid& uuid) const {
  if (storageLogging())
    storageDebug("chuncking to send binary: " + std::to_string(data.size()) + " bytes)");
  const auto count = static_cast<size_t>(getNumberOfChunksFor(data));
  std::vector<Data> frames;
  frames.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const size_t start = i * maxChunkSize;
    const size_t end = std::min(start + maxChunkSize, data.size());
    std::string frame;
    frame.reserve(kChunkHeaderBytes + end - start);
    frame.append(reinterpret_cast<const char*>(uuid.data()), uuid.size());
    const auto offset = static_cast<uint64_t>(start);
    for (int shift = 56; shift >= 0; shift -= 8) {
      frame.push_back(static_cast<char>((offset >> shift) & 0xFF));
    }
    frame.append(reinterpret_cast<const char*>(data.bytes()) + start, end - start);
    frames.emplace_back(std::move(frame));
  }
  return frames;
}

}  // namespace ombrelia
