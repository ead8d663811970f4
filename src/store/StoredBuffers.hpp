#pragma once
// Any thread: buffers are let go on whichever thread drops their last copy. Entering, leaving
// and waiting run on the segment store's serial queue only.

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <unordered_map>

#include <ombrelia/Data.hpp>

#include "platform/DataBuffer.hpp"

namespace ombrelia {

// The segment store's count of the memory its segments hold: a buffer counts from the moment it
// is stored until its last copy anywhere is freed, not until the store evicts it. A player
// answered from the store or a peer upload keeps reading an evicted segment's bytes; counted
// here, they keep the room they take until they let go, so no number of slow readers makes the
// store hold more than its budget beside them.
class StoredBuffers : public DataReleaseListener,
                      public std::enable_shared_from_this<StoredBuffers> {
 public:
  // `onRoom` runs on the thread that freed the bytes, once per wait, when what waits would fit.
  [[nodiscard]] static std::shared_ptr<StoredBuffers> create(size_t maxBytes,
                                                             std::function<void()> onRoom);

  size_t maxBytes() const { return maxBytes_; }
  // Every byte of the buffers stored that is still in memory, in the store or not.
  size_t heldBytes() const { return held_.load(); }

  // The bytes of the buffers stored now, each once: the part of heldBytes() evicting can free.
  size_t storedBytes() const { return stored_; }
  // What storing `data` would add: nothing when its buffer is stored already.
  size_t costOf(const Data& data) const;
  // One more stored segment with this buffer; its bytes count from the first.
  void enter(const Data& data);
  // One stored segment with this buffer evicted. Returns the bytes freed if no one else holds
  // the buffer: none while another stored segment still has it.
  size_t leave(const Data& data);

  // True when `bytes` more fit now. Otherwise they wait: `onRoom` runs once as soon as they
  // would fit, and rearm() must be called before looking again.
  bool fitsOrWait(size_t bytes);
  void rearm();
  void stopWaiting();

  void released(size_t bytes) noexcept override;

 private:
  StoredBuffers(size_t maxBytes, std::function<void()> onRoom)
      : maxBytes_(maxBytes), onRoom_(std::move(onRoom)) {}

  const size_t maxBytes_;
  const std::function<void()> onRoom_;
  std::atomic<size_t> held_{0};
  // Bytes a segment waits to take, 0 while none waits; a wait and a release read each other's
  // writes in one total order, so one of the two always sees there is room.
  std::atomic<size_t> wanted_{0};
  std::atomic<bool> woken_{false};
  // Stored segments per buffer, and those buffers' bytes.
  std::unordered_map<const void*, size_t> entries_;
  size_t stored_ = 0;
};

}  // namespace ombrelia
