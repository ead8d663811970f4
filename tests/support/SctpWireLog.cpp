#include "support/SctpWireLog.hpp"

namespace ombrelia::test {
namespace {

constexpr size_t kCommonHeaderBytes = 12;
constexpr uint8_t kSackChunk = 3;
constexpr uint16_t kOutgoingResetRequest = 13;
constexpr uint16_t kResponse = 16;

uint16_t read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
size_t padded(size_t length) { return (length + 3) & ~size_t{3}; }
bool after(uint32_t a, uint32_t b) { return SctpWireLog::isAfter(a, b); }

// Calls `visit(type, record, length)` for each type-length-value record in `bytes` (the chunks
// of a packet when `wideType` is false, the parameters of a chunk when true), stopping at the
// first malformed one.
template <typename Visit>
void forEachRecord(const uint8_t* bytes, size_t size, bool wideType, Visit visit) {
  for (size_t at = 0; at + 4 <= size;) {
    const size_t length = read16(bytes + at + 2);
    if (length < 4 || at + length > size) return;
    visit(wideType ? read16(bytes + at) : bytes[at], bytes + at, length);
    at += padded(length);
  }
}

}  // namespace

struct SctpWireLog::State {
  mutable Waiter waiter;
  std::vector<Request> requests;
  std::vector<Response> responses;
  bool sentData = false;
  uint32_t lastDataTsn = 0;
  bool acknowledged = false;
  uint32_t cumulativeAck = 0;
};

SctpWireLog::SctpWireLog() : state_(std::make_shared<State>()) {}

bool SctpWireLog::carries(const uint8_t* packet, size_t size, uint8_t chunkType) {
  if (size < kCommonHeaderBytes) return false;
  bool found = false;
  forEachRecord(packet + kCommonHeaderBytes, size - kCommonHeaderBytes, false,
                [&](uint16_t type, const uint8_t*, size_t) { found = found || type == chunkType; });
  return found;
}

std::optional<uint32_t> SctpWireLog::dataTsn(const uint8_t* packet, size_t size) {
  if (size < kCommonHeaderBytes) return std::nullopt;
  std::optional<uint32_t> tsn;
  forEachRecord(packet + kCommonHeaderBytes, size - kCommonHeaderBytes, false,
                [&](uint16_t type, const uint8_t* chunk, size_t length) {
                  if (!tsn && type == kDataChunk && length >= 8) tsn = read32(chunk + 4);
                });
  return tsn;
}

// Notes one chunk of a packet this side sent.
void SctpWireLog::record(State& state, uint16_t type, const uint8_t* chunk, size_t length) {
  if (type == kDataChunk && length >= 8) {
    const uint32_t tsn = read32(chunk + 4);
    if (!state.sentData || after(tsn, state.lastDataTsn)) state.lastDataTsn = tsn;
    state.sentData = true;
  } else if (type == kSackChunk && length >= 8) {
    const uint32_t ack = read32(chunk + 4);
    if (!state.acknowledged || after(ack, state.cumulativeAck)) state.cumulativeAck = ack;
    state.acknowledged = true;
  } else if (type == kReconfigChunk) {
    forEachRecord(chunk + 4, length - 4, true, [&](uint16_t parameter, const uint8_t* p, size_t n) {
      if (parameter == kOutgoingResetRequest && n >= 16) {
        Request request{read32(p + 4), read32(p + 12), {}};
        for (size_t s = 16; s + 2 <= n; s += 2) request.streams.push_back(read16(p + s));
        state.requests.push_back(std::move(request));
      } else if (parameter == kResponse && n >= 12) {
        state.responses.push_back({read32(p + 4), read32(p + 8)});
      }
    });
  }
}

std::function<void(const uint8_t*, size_t)> SctpWireLog::tap() {
  return [state = state_](const uint8_t* packet, size_t size) {
    if (size < kCommonHeaderBytes) return;
    std::lock_guard lock(state->waiter.mutex());
    forEachRecord(packet + kCommonHeaderBytes, size - kCommonHeaderBytes, false,
                  [&](uint16_t type, const uint8_t* chunk, size_t length) {
                    record(*state, type, chunk, length);
                  });
    state->waiter.notify();
  };
}

std::vector<SctpWireLog::Request> SctpWireLog::requests() const {
  std::lock_guard lock(state_->waiter.mutex());
  return state_->requests;
}

std::vector<SctpWireLog::Response> SctpWireLog::responses() const {
  std::lock_guard lock(state_->waiter.mutex());
  return state_->responses;
}

uint32_t SctpWireLog::lastDataTsn() const {
  std::lock_guard lock(state_->waiter.mutex());
  return state_->lastDataTsn;
}

bool SctpWireLog::waitForAcknowledgement(uint32_t tsn, std::chrono::milliseconds bound) const {
  return state_->waiter.waitFor(
      bound, [&] { return state_->acknowledged && !after(tsn, state_->cumulativeAck); });
}

}  // namespace ombrelia::test
