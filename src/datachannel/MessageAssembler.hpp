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

  // Which message a part belongs to: its stream, whether it was sent unordered, and the
  // transmission sequence number of its first part, which usrsctp reports with every part and
  // which no other message shares until that number wraps, after 2^32 chunks. The stream
  // sequence number would not do: an unordered message has none (with classic DATA chunks
  // usrsctp sends 0 and reports it back), and an ordered one's starts again at 0 when the stream
  // is reset and wraps after 65,536 messages, so a later whole message would match the entry of
  // one its sender abandoned part-way and be dropped with it.
  struct Key {
    uint16_t stream = 0;
    bool unordered = false;
    uint32_t message = 0;
    bool operator<(const Key& other) const {
      return std::tie(stream, unordered, message) <
             std::tie(other.stream, other.unordered, other.message);
    }
  };

  // How many messages may be part-way at once. Only messages larger than the limit come in
  // parts (the transport sets its partial delivery point above it), and a peer that abandons
  // such a message half-delivered (partial reliability) leaves its entry behind with nothing to
  // end it; past this many, the oldest goes. A peer that keeps to the limit never has one.
  static constexpr size_t kMaxPartialMessages = 64;

  explicit MessageAssembler(size_t maxMessageBytes) : maxMessageBytes_(maxMessageBytes) {}

  // Adds one part; on `complete` the whole message is in `message`.
  Outcome add(const Key& key, const uint8_t* data, size_t size, bool endOfMessage,
              std::vector<uint8_t>& message);

  // Forgets the stream's messages part-way: the stream was reset, so its channel is gone and
  // none of them will be finished.
  void dropStream(uint16_t stream);

  // Messages part-way now.
  size_t partialCount() const { return partials_.size(); }

 private:
  struct Partial {
    std::vector<uint8_t> bytes;
    bool oversized = false;
    uint64_t firstPart = 0;  // when its first part came, in parts added
  };
  void dropOldestPartial();

  const size_t maxMessageBytes_;
  std::map<Key, Partial> partials_;
  uint64_t partsAdded_ = 0;
};

}  // namespace ombrelia::datachannel
