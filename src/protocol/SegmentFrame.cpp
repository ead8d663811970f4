#include "protocol/SegmentFrame.hpp"

#include <string>
#include <utility>

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

Data SegmentFrame::make(const Uuid& requestID, uint64_t offset, std::string_view payload) {
  std::string frame;
  frame.reserve(kHeaderBytes + payload.size());
  frame.append(reinterpret_cast<const char*>(requestID.bytes().data()), requestID.bytes().size());
  for (int shift = 56; shift >= 0; shift -= 8)
    frame.push_back(static_cast<char>((offset >> shift) & 0xFF));
  frame.append(payload);
  return Data(std::move(frame));
}

}  // namespace ombrelia
