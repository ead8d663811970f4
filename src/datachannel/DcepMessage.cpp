#include "datachannel/DcepMessage.hpp"

namespace ombrelia::datachannel {
namespace {

constexpr uint8_t kOpenType = 0x03;
constexpr uint8_t kAckType = 0x02;
constexpr size_t kOpenHeaderBytes = 12;
// Labels and protocols are bounded by the 16-bit length fields; WebRTC caps them at 65,535.

void putU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

}  // namespace

std::vector<uint8_t> DcepMessage::encode() const {
  if (kind == Kind::ack) return {kAckType};
  std::vector<uint8_t> out;
  const size_t labelSize = std::min<size_t>(label.size(), 0xFFFF);
  const size_t protocolSize = std::min<size_t>(protocol.size(), 0xFFFF);
  out.reserve(kOpenHeaderBytes + labelSize + protocolSize);
  out.push_back(kOpenType);
  out.push_back(channelType);
  putU16(out, priority);
  putU16(out, static_cast<uint16_t>(reliabilityParameter >> 16));
  putU16(out, static_cast<uint16_t>(reliabilityParameter));
  putU16(out, static_cast<uint16_t>(labelSize));
  putU16(out, static_cast<uint16_t>(protocolSize));
  out.insert(out.end(), label.begin(), label.begin() + static_cast<std::ptrdiff_t>(labelSize));
  out.insert(out.end(), protocol.begin(),
             protocol.begin() + static_cast<std::ptrdiff_t>(protocolSize));
  return out;
}

std::optional<DcepMessage> DcepMessage::decode(const uint8_t* data, size_t size) {
  if (data == nullptr || size == 0) return std::nullopt;
  DcepMessage message;
  if (data[0] == kAckType) {
    message.kind = Kind::ack;
    return message;
  }
  if (data[0] != kOpenType || size < kOpenHeaderBytes) return std::nullopt;
  message.kind = Kind::open;
  message.channelType = data[1];
  const uint8_t policy = message.channelType & static_cast<uint8_t>(~kUnorderedBit);
  if (policy != kReliable && policy != kPartialReliableRexmit && policy != kPartialReliableTimed) {
    return std::nullopt;
  }
  message.priority = getU16(data + 2);
  message.reliabilityParameter = (static_cast<uint32_t>(getU16(data + 4)) << 16) | getU16(data + 6);
  const size_t labelSize = getU16(data + 8);
  const size_t protocolSize = getU16(data + 10);
  if (size < kOpenHeaderBytes + labelSize + protocolSize) return std::nullopt;
  const char* text = reinterpret_cast<const char*>(data + kOpenHeaderBytes);
  message.label.assign(text, labelSize);
  message.protocol.assign(text + labelSize, protocolSize);
  return message;
}

}  // namespace ombrelia::datachannel
