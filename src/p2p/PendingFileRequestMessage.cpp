#include "p2p/PendingFileRequestMessage.hpp"

#include <limits>

#include "platform/DispatchQueue.hpp"

namespace ombrelia {

void PendingFileRequestMessage::onCompleted(std::optional<Data> data,
                                            std::optional<std::string> contentType,
                                            std::optional<PeerType> peerType) {
  if (!completion) return;
  platform::DispatchQueue::main()->async(
      [completion = std::move(completion), data = std::move(data),
       contentType = std::move(contentType),
       peerType]() mutable { completion(std::move(data), std::move(contentType), peerType); });
  completion = nullptr;
}

std::optional<double> PendingFileRequestMessage::requestTimeLeft(double now) const {
  if (!reassembly || !reassembly->started()) return std::nullopt;
  const auto received = static_cast<double>(reassembly->receivedBytes());
  const double left = static_cast<double>(reassembly->size()) - received;
  if (received == 0) return std::numeric_limits<double>::infinity();
  return left * (now - timestamp) / received;
}

double PendingFileRequestMessage::requestElapsedTime(double now) const {
  return now - secondTimestamp.value_or(timestamp);
}

}  // namespace ombrelia
