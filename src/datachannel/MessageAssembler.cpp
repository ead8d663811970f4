#include "datachannel/MessageAssembler.hpp"

namespace ombrelia::datachannel {

MessageAssembler::Outcome MessageAssembler::add(const Key& key, const uint8_t* data, size_t size,
                                                bool endOfMessage, std::vector<uint8_t>& message) {
  ++partsAdded_;
  auto found = partials_.find(key);
  if (found == partials_.end() && endOfMessage) {
    // A message in one part, by far the usual case, never enters the map.
    if (size > maxMessageBytes_) return Outcome::oversized;
    message.assign(data, data + size);
    return Outcome::complete;
  }
  if (found == partials_.end()) {
    if (partials_.size() >= kMaxPartialMessages) dropOldestPartial();
    found = partials_.emplace(key, Partial{{}, false, partsAdded_}).first;
  }
  Partial& partial = found->second;
  if (!partial.oversized) {
    if (size > maxMessageBytes_ - partial.bytes.size()) {
      partial.oversized = true;
      std::vector<uint8_t>().swap(partial.bytes);
    } else if (size > 0) {
      partial.bytes.insert(partial.bytes.end(), data, data + size);
    }
  }
  if (!endOfMessage) return Outcome::incomplete;
  const bool oversized = partial.oversized;
  if (!oversized) message = std::move(partial.bytes);
  partials_.erase(found);
  return oversized ? Outcome::oversized : Outcome::complete;
}

void MessageAssembler::dropStream(uint16_t stream) {
  const auto first = partials_.lower_bound(Key{stream, false, 0});
  auto last = first;
  while (last != partials_.end() && last->first.stream == stream) ++last;
  partials_.erase(first, last);
}

void MessageAssembler::dropOldestPartial() {
  auto oldest = partials_.begin();
  for (auto it = partials_.begin(); it != partials_.end(); ++it) {
    if (it->second.firstPart < oldest->second.firstPart) oldest = it;
  }
  partials_.erase(oldest);
}

}  // namespace ombrelia::datachannel
