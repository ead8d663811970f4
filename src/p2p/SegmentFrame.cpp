#include "p2p/SegmentFrame.hpp"

namespace ombrelia {

std::optional<SegmentFrame> SegmentFrame::parse(const Data& frame) {
  if (frame.size() < kHeaderBytes) return std::nullopt;
  const uint8_t* bytes = frame.bytes();
  Uuid::Bytes id{};
  for (size_t i = 0; i < id.size(); ++i) id[i] = bytes[i];
  uint64_t offset = 0;
  for (size_t i = 16; i < kHeaderBytes; ++i) offset = (offset << 8) | bytes[i];
  return SegmentFrame{Uuid(id), offset, frame.view().substr(kHeaderBytes)};
}

}  // namespace ombrelia
