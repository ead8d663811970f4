#include "peers/SessionDescription.hpp"

#include <utility>

#include "protocol/TransferDescriptionMessage.hpp"

namespace ombrelia {

SessionDescription::SessionDescription(std::string sdp, SdpType type)
    : sdp(std::move(sdp)), type(type) {}

SessionDescription::SessionDescription(const TransferDescriptionMessage& message)
    : sdp(message.description().sdp()),
      type(makeSdpType(message.description().type()).value_or(SdpType::offer)) {}

}  // namespace ombrelia
