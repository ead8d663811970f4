#include "datachannel/MessageAssembler.hpp"

namespace ombrelia::datachannel {

MessageAssembler::Outcome MessageAssembler::add(const Key& key, const uint8_t* data, size_t size,
                                                bool endOfMessage, std::vector<uint8_t>& message) {
  Partial& partial = partials_[key];
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
  partials_.erase(key);
  return oversized ? Outcome::oversized : Outcome::complete;
}

}  // namespace ombrelia::datachannel
