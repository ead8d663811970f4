#pragma once
// Any thread: the tap records from the sending threads, the test thread reads and waits.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "support/Waiter.hpp"

namespace ombrelia::test {

// What the SCTP packets one side sends say about stream resets, read off the wire through an
// impairment's filter: each request to reset outgoing streams and each response (RE-CONFIG
// chunks), the data chunks sent and the acknowledgements given.
class SctpWireLog {
 public:
  struct Request {
    uint32_t sequence = 0;
    uint32_t lastTsn = 0;  // the last data chunk sent before it
    std::vector<uint16_t> streams;
  };
  struct Response {
    uint32_t sequence = 0;
    uint32_t result = 0;
  };
  // The peer parked the request: it names data the peer does not hold yet.
  static constexpr uint32_t kInProgress = 6;

  static constexpr uint8_t kDataChunk = 0;
  static constexpr uint8_t kHeartbeatChunk = 4;
  static constexpr uint8_t kReconfigChunk = 130;

  SctpWireLog();
  // Records one packet leaving SCTP; for an impairment's filter.
  std::function<void(const uint8_t* packet, size_t size)> tap();
  // The packet holds a chunk of this type.
  static bool carries(const uint8_t* packet, size_t size, uint8_t chunkType);
  // The transmission sequence number of the packet's first data chunk, if it has one.
  static std::optional<uint32_t> dataTsn(const uint8_t* packet, size_t size);
  // Serial-number order: sequence numbers wrap.
  static bool isAfter(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

  // Every transmission, retransmissions included, in the order they left.
  std::vector<Request> requests() const;
  std::vector<Response> responses() const;
  // The highest transmission sequence number of the data chunks sent so far.
  uint32_t lastDataTsn() const;
  // True once this side has acknowledged everything up to `tsn` of the other side's data.
  bool waitForAcknowledgement(uint32_t tsn, std::chrono::milliseconds bound) const;

 private:
  struct State;
  static void record(State& state, uint16_t type, const uint8_t* chunk, size_t length);
  std::shared_ptr<State> state_;
};

}  // namespace ombrelia::test
