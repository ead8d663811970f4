#include "datachannel/ChannelFrame.hpp"

#include "datachannel/DcepMessage.hpp"

namespace ombrelia::datachannel {

std::optional<ChannelFrame::Frame> ChannelFrame::decode(uint32_t ppid,
                                                        std::vector<uint8_t> payload) {
  switch (ppid) {
    case DcepMessage::kPpidString:
      return Frame(std::string(payload.begin(), payload.end()));
    case DcepMessage::kPpidStringEmpty:
      // The single byte that carries an empty message is not part of it.
      return Frame(std::string());
    case DcepMessage::kPpidBinary:
      return Frame(Data(std::move(payload)));
    case DcepMessage::kPpidBinaryEmpty:
      return Frame(Data());
    default:
      return std::nullopt;
  }
}

}  // namespace ombrelia::datachannel
