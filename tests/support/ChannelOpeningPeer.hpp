#pragma once
// Any thread: the signals run on the connection's callback queue; openChannels() blocks the
// thread that calls it.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "datachannel/DCConfiguration.hpp"
#include "datachannel/DCPeerConnection.hpp"
#include "support/Latch.hpp"

namespace ombrelia::test {

// A peer on the library's own framework that negotiates as a viewer does, offering its "P2P"
// channel, and then opens channels of its own choosing straight on the association: on streams
// it picks, with labels and protocols as long as it likes, sending on them, and never resetting
// a stream in answer to the other side's reset.
class ChannelOpeningPeer {
 public:
  struct Signals {
    // Its offer, and each of its candidates, to be relayed to the other side.
    std::function<void(std::string sdp)> description;
    std::function<void(std::string candidate, std::string mid)> candidate;
  };

  // Offers at once.
  ChannelOpeningPeer(const datachannel::DCConfiguration& config, Signals signals);
  ChannelOpeningPeer(const ChannelOpeningPeer&) = delete;
  ChannelOpeningPeer& operator=(const ChannelOpeningPeer&) = delete;

  void takeAnswer(const std::string& sdp);
  void takeCandidate(const std::string& candidate, const std::string& mid);
  // Its "P2P" channel opened within the bound.
  bool waitOpen(std::chrono::milliseconds bound);

  // Opens `count` channels on its own streams after the one "P2P" took (511 at most), each with
  // a label and a protocol of `bytes` bytes, then sends `messages` binary messages of 16 KiB on
  // each. Sends are retried while its own send buffer is full, until `bound`. The opens sent.
  size_t openChannels(size_t count, size_t bytes, size_t messages, std::chrono::milliseconds bound);
  // Shuts its receive window (every acknowledgement it sends advertises 0), then opens "P2P"
  // round-robin on `streams` streams of its own after its first "P2P" one, again and again, so
  // that the other side answers each open it takes while its answers cannot leave. Stops once
  // its connection has ended or at `bound`. True when the connection ended.
  bool reopenChannels(size_t streams, std::chrono::milliseconds bound);
  // Shuts its receive window and sends, on its "P2P" channel, a segment request of its own every
  // `interval` (each for a segment the other side never stores, so each is filed and, past the
  // peer's share of the waiting list, answered "not available"), until its connection has ended
  // or `bound`. The requests sent.
  size_t askSteadily(std::chrono::milliseconds interval, std::chrono::milliseconds bound);
  // What fetchThenLeave() received.
  struct Fetched {
    size_t wholeSegments = 0;  // segments read to their last byte
    uint64_t frameBytes = 0;   // every segment frame, headers included
  };
  // Reads, on its "P2P" channel, `whole` segments of the other side's video `videoID` one after
  // another, from number 0, in the first quality the other side answers for; then shuts its
  // receive window, reads one more, asks for the next, and ends its connection `lingering`
  // after the first of its frames has come: a peer that leaves mid-transfer with frames queued
  // for it.
  Fetched fetchThenLeave(const std::string& videoID, size_t whole,
                         std::chrono::milliseconds lingering, std::chrono::milliseconds bound);
  // Opens sent so far by openChannels() or reopenChannels(), from any thread.
  size_t opened() const { return opened_; }

  // Its connection has failed or closed.
  bool hasEnded() const;

  // Ends its connection.
  void close() {
    if (connection_) connection_->close();
  }

 private:
  bool send(uint16_t stream, uint32_t ppid, const std::vector<uint8_t>& bytes,
            std::chrono::steady_clock::time_point deadline);

  std::shared_ptr<datachannel::DCPeerConnection> connection_;
  std::shared_ptr<datachannel::DCDataChannel> channel_;
  std::shared_ptr<Latch> open_ = std::make_shared<Latch>();
  std::atomic<size_t> opened_{0};
};

}  // namespace ombrelia::test
