#include "store/StoredBuffers.hpp"

namespace ombrelia {

std::shared_ptr<StoredBuffers> StoredBuffers::create(size_t maxBytes,
                                                     std::function<void()> onRoom) {
  return std::shared_ptr<StoredBuffers>(new StoredBuffers(maxBytes, std::move(onRoom)));
}

size_t StoredBuffers::costOf(const Data& data) const {
  return entries_.count(DataBuffer::identity(data)) != 0 ? 0 : DataBuffer::bytesUnder(data);
}

void StoredBuffers::enter(const Data& data) {
  if (entries_[DataBuffer::identity(data)]++ != 0) return;
  stored_ += DataBuffer::bytesUnder(data);
  // A buffer stored again after an eviction while someone held it is counted already.
  if (DataBuffer::watch(data, shared_from_this())) held_ += DataBuffer::bytesUnder(data);
}

size_t StoredBuffers::leave(const Data& data) {
  const auto entry = entries_.find(DataBuffer::identity(data));
  if (entry == entries_.end() || --entry->second != 0) return 0;
  entries_.erase(entry);
  const size_t bytes = DataBuffer::bytesUnder(data);
  stored_ -= bytes;
  return bytes;
}

bool StoredBuffers::fitsOrWait(size_t bytes) {
  wanted_ = bytes;
  if (held_ + bytes <= maxBytes_) {
    wanted_ = 0;
    return true;
  }
  return false;
}

void StoredBuffers::rearm() { woken_ = false; }

void StoredBuffers::stopWaiting() { wanted_ = 0; }

void StoredBuffers::released(size_t bytes) noexcept {
  const size_t now = held_ -= bytes;
  const size_t wanted = wanted_;
  if (wanted != 0 && now + wanted <= maxBytes_ && !woken_.exchange(true) && onRoom_) onRoom_();
}

}  // namespace ombrelia
