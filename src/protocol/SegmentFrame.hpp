#pragma once
// Any thread: a value and a pure parser.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include <ombrelia/Data.hpp>

#include "platform/Uuid.hpp"

namespace ombrelia {

// One binary frame of a segment transfer: the request's 16 UUID bytes, the payload's offset in
// the segment as 8 big-endian bytes, then the payload.
struct SegmentFrame {
  static constexpr size_t kHeaderBytes = 24;

  Uuid requestID;
  uint64_t offset = 0;
  std::string_view payload;  // a view into the frame's bytes

  // None for a frame too short to hold its header.
  static std::optional<SegmentFrame> parse(const Data& frame);
  // The frame that carries `payload` at `offset` of the request's segment.
  static Data make(const Uuid& requestID, uint64_t offset, std::string_view payload);
};

}  // namespace ombrelia
