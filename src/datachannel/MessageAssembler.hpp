#pragma once
// One thread at a time: the owner serialises calls.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <tuple>
#include <vector>

namespace ombrelia::datachannel {

// Joins the parts in which SCTP delivers a large message, refusing any message that grows past
// the limit without holding its bytes. Parts are joined per message, not per stream: SCTP may
// hand over the start of one message, then the whole of the next on the same stream, then the
// rest of the first.
class MessageAssembler {
 public:
  enum class Outcome { incomplete, complete, oversized };

  // Which message a part belongs to: its stream, its stream sequence number and whether it was
  // sent unordered (unordered messages have sequence numbers of their own).
  struct Key {
    uint16_t stream = 0;
    uint16_t sequence = 0;
    bool unordered = false;
    bool operator<(const Key& other) const {
      return std::tie(stream, sequence, unordered) <
             std::tie(other.stream, other.sequence, other.unordered);
    }
  };

  explicit MessageAssembler(size_t maxMessageBytes) : maxMessageBytes_(maxMessageBytes) {}

  // Adds one part; on `complete` the whole message is in `message`.
  Outcome add(const Key& key, const uint8_t* data, size_t size, bool endOfMessage,
              std::vector<uint8_t>& message);

 private:
  struct Partial {
    std::vector<uint8_t> bytes;
    bool oversized = false;
  };
  const size_t maxMessageBytes_;
  std::map<Key, Partial> partials_;
};

}  // namespace ombrelia::datachannel
