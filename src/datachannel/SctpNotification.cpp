#include "datachannel/SctpNotification.hpp"

#include <usrsctp.h>

#include <algorithm>
#include <cstring>

namespace ombrelia::datachannel {

std::optional<SctpNotification> SctpNotification::parse(const uint8_t* data, size_t size) {
  if (data == nullptr || size < sizeof(sctp_notification::sctp_tlv)) return std::nullopt;
  union sctp_notification notification;
  std::memset(&notification, 0, sizeof notification);
  std::memcpy(&notification, data, std::min(size, sizeof notification));
  SctpNotification result;
  switch (notification.sn_header.sn_type) {
    case SCTP_ASSOC_CHANGE: {
      if (size < sizeof(struct sctp_assoc_change)) return std::nullopt;
      const uint16_t state = notification.sn_assoc_change.sac_state;
      if (state == SCTP_COMM_UP) {
        result.kind = Kind::associationUp;
      } else if (state == SCTP_COMM_LOST || state == SCTP_SHUTDOWN_COMP ||
                 state == SCTP_CANT_STR_ASSOC) {
        result.kind = Kind::associationDown;
      } else {
        return std::nullopt;
      }
      return result;
    }
    case SCTP_SHUTDOWN_EVENT:
      result.kind = Kind::associationDown;
      return result;
    case SCTP_SENDER_DRY_EVENT:
      result.kind = Kind::senderDry;
      return result;
    case SCTP_STREAM_RESET_EVENT: {
      const size_t header = offsetof(struct sctp_stream_reset_event, strreset_stream_list);
      if (size < header) return std::nullopt;
      const auto& event = notification.sn_strreset_event;
      const bool refused =
          (event.strreset_flags & (SCTP_STREAM_RESET_DENIED | SCTP_STREAM_RESET_FAILED)) != 0;
      if ((event.strreset_flags & SCTP_STREAM_RESET_OUTGOING_SSN) != 0) {
        result.kind = Kind::outgoingStreamsReset;
        result.refused = refused;
      } else if ((event.strreset_flags & SCTP_STREAM_RESET_INCOMING_SSN) != 0 && !refused) {
        result.kind = Kind::incomingStreamsReset;
      } else {
        return std::nullopt;
      }
      // The declared length may not exceed what was delivered.
      const size_t length = std::min<size_t>(event.strreset_length, size);
      if (length < header) return std::nullopt;
      result.streams.resize((length - header) / sizeof(uint16_t));
      // Before the copy: an empty vector's data() may be null, which memcpy must not get.
      if (result.streams.empty()) return std::nullopt;
      std::memcpy(result.streams.data(), data + header, result.streams.size() * sizeof(uint16_t));
      return result;
    }
    default:
      return std::nullopt;
  }
}

}  // namespace ombrelia::datachannel
