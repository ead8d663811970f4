#include "datachannel/SctpStallWatch.hpp"

#include "datachannel/SctpChecksum.hpp"

namespace ombrelia::datachannel {
namespace {

constexpr size_t kChunkHeaderBytes = 4;
constexpr uint8_t kSack = 3;
constexpr uint8_t kNrSack = 16;

uint32_t read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

}  // namespace

bool SctpStallWatch::observe(const Sample& sample) {
  const bool progressed = !last_ || sample.unacknowledgedChunks == 0 ||
                          sample.retransmissionTimeouts != last_->retransmissionTimeouts ||
                          sample.peerCumulativeAck != last_->peerCumulativeAck;
  if (progressed) {
    stalled_ = {};
  } else if (const auto gap = sample.at - last_->at; gap <= kMaxCountedGap) {
    stalled_ += gap;
  }
  last_ = sample;
  return stalled_ >= kStallTimeout;
}

std::chrono::milliseconds SctpStallWatch::stalledFor() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(stalled_);
}

std::optional<uint32_t> SctpStallWatch::cumulativeAckIn(const uint8_t* packet, size_t size) {
  const auto sack = sackIn(packet, size);
  return sack ? std::optional<uint32_t>(sack->cumulativeAck) : std::nullopt;
}

std::optional<SctpStallWatch::Sack> SctpStallWatch::sackIn(const uint8_t* packet, size_t size) {
  for (size_t at = SctpChecksum::kCommonHeaderBytes; at + kChunkHeaderBytes <= size;) {
    const size_t length = static_cast<size_t>(packet[at + 2]) << 8 | packet[at + 3];
    if (length < kChunkHeaderBytes || at + length > size) return std::nullopt;
    // Both kinds carry the cumulative ack, then the advertised window.
    if ((packet[at] == kSack || packet[at] == kNrSack) && length >= 12) {
      return Sack{read32(packet + at + 4), read32(packet + at + 8)};
    }
    at += (length + 3) & ~size_t{3};
  }
  return std::nullopt;
}

}  // namespace ombrelia::datachannel
