#pragma once
// One thread at a time: the owner serialises calls.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace ombrelia::datachannel {

// Joins the parts in which SCTP delivers a large message, per stream, refusing any message that
// grows past the limit without holding its bytes.
class MessageAssembler {
 public:
  enum class Outcome { incomplete, complete, oversized };

  explicit MessageAssembler(size_t maxMessageBytes) : maxMessageBytes_(maxMessageBytes) {}

  // Adds one part; on `complete` the whole message is in `message`.
  Outcome add(uint16_t stream, const uint8_t* data, size_t size, bool endOfMessage,
              std::vector<uint8_t>& message);

 private:
  struct Partial {
    std::vector<uint8_t> bytes;
    bool oversized = false;
  };
  const size_t maxMessageBytes_;
  std::map<uint16_t, Partial> partials_;
};

}  // namespace ombrelia::datachannel
