#pragma once
// Any thread: send(), resetStream() and flush() from anywhere; handlePacket(), start() and
// close() on a GlibLoop thread. Every call into usrsctp, and so every callback out of it, runs
// under one process-wide lock, which a thread may take again inside a call; usrsctp's timers run
// on the shared GlibLoop thread under it too. sendPackets runs after that lock is released: on
// the thread whose call produced the packets, on one already sending the same transport's earlier
// packets, or, while more input waits on the loop thread, once that input is in. Callbacks must
// not call close().

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "datachannel/MessageAssembler.hpp"
#include "datachannel/SctpStallWatch.hpp"
#include "datachannel/SctpStatus.hpp"
#include "datachannel/StreamResetQueue.hpp"

struct socket;

namespace ombrelia::datachannel {

// One SCTP association over DTLS, in usrsctp's AF_CONN mode: packets go out through
// sendPacket and come in through handlePacket(), never through a kernel socket.
class SctpTransport : public std::enable_shared_from_this<SctpTransport> {
 public:
  struct Settings {
    uint16_t localPort = 5000;
    uint16_t remotePort = 5000;
    // The largest message this side accepts; larger ones are dropped as they are reassembled.
    size_t maxReceiveMessage = 256 * 1024;
    // Memory this side holds for messages while SCTP pushes back, past what usrsctp's own buffer
    // takes: each queued message counts its bytes and kQueuedEntryCost, so a flood of tiny
    // messages (acknowledgements of a peer's opens) is held to this as surely as large ones.
    size_t maxBufferedBytes = 16 * 1024 * 1024;
    std::chrono::milliseconds heartbeatInterval{2000};
  };

  struct Reliability {
    bool ordered = true;
    std::optional<uint32_t> maxRetransmits;
    std::optional<uint32_t> maxPacketLifeTimeMs;
  };

  // tooLarge: the message can never fit usrsctp's send buffer, so queueing it would jam the
  // association's queue for good; the caller must hear of it at once. full: the queue holds as
  // much as maxBufferedBytes allows.
  enum class SendResult { sent, queued, refused, tooLarge, full };

  // usrsctp takes a message whole or not at all, and refuses one larger than its send buffer.
  static const size_t kMaxMessageBytes;
  // What one queued message takes beyond its own bytes: its slot in the queue and the heap
  // block of its bytes (the allocator's header and rounding). A one-byte message was measured at
  // some 100 bytes of resident memory an entry.
  static const size_t kQueuedEntryCost;
  // What the queues of every association of the process may hold together, counted as
  // maxBufferedBytes counts them (usrsctp's own buffer of each comes on top). Each association's
  // share is this divided by their number; past this, the one holding the most is ended when it
  // holds more than its share. Honest peers read what is sent: the uploader keeps a reader's
  // queue to some 0.3 MB and answers stop queueing at 0.5 MB, so 32 honest peers stay far
  // below, while a few dozen that read nothing cannot make the process hold hundreds of MB.
  static const size_t kMaxQueuedBytesAllTransports;
  // What the queues of every association hold now.
  static size_t queuedCostAllTransports();

  struct Callbacks {
    // Packets back to back in `bytes`, the i-th ending at ends[i], in the order usrsctp made them.
    std::function<void(const uint8_t* bytes, const std::vector<size_t>& ends)> sendPackets;
    std::function<void()> onConnected;
    // The association is gone: shut down or aborted by the peer, or lost.
    std::function<void()> onClosed;
    std::function<void(uint16_t stream, uint32_t ppid, std::vector<uint8_t> message)> onMessage;
    // The peer reset these incoming streams (its channels on them are closing).
    std::function<void(std::vector<uint16_t> streams)> onStreamsReset;
    // The association holds data it no longer retransmits (see SctpStallWatch): it will never
    // deliver it. Called once, on the GlibLoop thread, with what the association looked like.
    std::function<void(const std::string& why)> onStuck;
    // The association holds the most of what every association of the process queues, past
    // its share, while they together pass kMaxQueuedBytesAllTransports: the owner is to end
    // it. Called once, from the sending thread under the stack's lock (so it must not close
    // the transport inline).
    std::function<void(const std::string& why)> onOverBudget;
  };

  [[nodiscard]] static std::shared_ptr<SctpTransport> create(const Settings& settings,
                                                             Callbacks callbacks);
  ~SctpTransport();
  SctpTransport(const SctpTransport&) = delete;
  SctpTransport& operator=(const SctpTransport&) = delete;

  bool start();
  // moreWaiting: other packets already wait to be read on this thread, which hands them in
  // before it does anything else; what this one makes may then leave with what they make.
  void handlePacket(const uint8_t* data, size_t size, bool moreWaiting = false);
  SendResult send(uint16_t stream, uint32_t ppid, const uint8_t* data, size_t size,
                  const Reliability& reliability);
  void resetStream(uint16_t stream);
  // Hands queued messages to usrsctp as far as it takes them.
  void flush();
  size_t bufferedBytes() const;
  // Bytes handed to send() that the peer has not yet acknowledged: those queued here and those
  // usrsctp holds, sent or not, as its last report of free buffer space showed. What the peer
  // acknowledged has reached it; the rest may never, should the association end. Once the
  // transport is closed nothing more will be acknowledged: the most a size_t holds.
  size_t unconfirmedBytes() const;
  // What the queue holds, counted as maxBufferedBytes counts it.
  size_t queuedCost() const;
  // The receive window the peer advertised in its latest acknowledgement; none before the
  // first. usrsctp keeps only its own estimate, less what is in flight, which a fast path
  // keeps low as well: this one tells a peer that takes nothing from one whose link is full.
  std::optional<uint32_t> peerAdvertisedWindow() const;
  // None before start() and after close().
  std::optional<SctpStatus> status();
  void close();

  // usrsctp's C callbacks reach the transport through this.
  struct Glue;

 private:
  struct Outgoing {
    uint16_t stream;
    uint32_t ppid;
    std::vector<uint8_t> bytes;
    Reliability reliability;
    bool resetMarker = false;  // reset the stream here, after the messages queued before
    size_t taken = 0;          // bytes usrsctp has already accepted
  };

  SctpTransport(const Settings& settings, Callbacks callbacks);
  enum class Attempt { complete, blocked, tooLarge, failed };
  // With the stack's lock held. Complete when usrsctp took the whole message; when it took only a
  // part, `taken` moves on and the rest must be the stream's very next send.
  Attempt trySend(Outgoing& message);
  void requestReset(uint16_t stream);
  // Hands SCTP the resets that may go now, and keeps checking while others wait.
  void requestDueResets();
  bool allAcknowledged();
  // With the stack's lock held and the socket open.
  SctpStatus readStatus();
  // Feeds the stall watch; false once the transport is closed or found stuck.
  bool checkProgress();
  void handleData(const uint8_t* data, size_t size, const MessageAssembler::Key& key, uint32_t ppid,
                  int flags);
  void handleNotification(const uint8_t* data, size_t size);

  const Settings settings_;
  Callbacks callbacks_;
  const uintptr_t id_;
  struct socket* socket_ = nullptr;

  // Packets usrsctp produced and sendPackets has not yet taken, back to back.
  struct Packets {
    std::vector<uint8_t> bytes;
    std::vector<size_t> ends;
  };
  // Sends what output_ holds, unless another thread already does.
  void drainOutput();

  // The stack's lock (see the top of this file) guards the queue and the socket.
  std::deque<Outgoing> queue_;
  std::atomic<size_t> queuedBytes_{0};  // written under the lock, read without it
  // Payload and kQueuedEntryCost of every entry in queue_, reset markers included.
  std::atomic<size_t> queuedCost_{0};  // written under the lock, read without it
  // Payload bytes usrsctp has taken from us, and of those the peer has acknowledged (written
  // under the lock, read without it).
  std::atomic<uint64_t> bytesTaken_{0};
  std::atomic<uint64_t> bytesConfirmed_{0};
  // bytesTaken_ at the end of each message usrsctp holds unacknowledged, oldest first.
  std::deque<uint64_t> takenEnds_;
  // What usrsctp holds for us, its bookkeeping of each message counted (kSctpEntryCost).
  uint64_t heldCost() const;
  // usrsctp's report of its free send buffer, after an acknowledgement freed some of it.
  void confirm(uint32_t freeBytes);
  // Every change of queuedCost_ goes through these, which keep the process's total with it.
  // addCost() ends the heaviest association once the total passes the budget.
  void addCost(size_t bytes);
  void dropCost(size_t bytes);
  std::atomic<bool> overBudget_{false};  // onOverBudget was called
  std::atomic<bool> ended_{false};       // close() has begun: what it drops never left
  bool flushing_ = false;
  bool closed_ = false;
  StreamResetQueue resets_;
  // Streams whose reset waits in queue_ behind their messages: one marker a stream. A peer may
  // have a stream reset again and again (each open it sends on a stream refused here asks for
  // one) while what this side sends waits on the peer's window.
  std::set<uint16_t> queuedResets_;
  bool resetCheckBooked_ = false;
  StreamResetQueue::Clock::time_point lastDataSent_;
  // What usrsctp took from us and handed us, for status().
  uint64_t messagesSent_ = 0;
  uint64_t bytesSent_ = 0;
  uint64_t messagesReceived_ = 0;
  uint64_t bytesReceived_ = 0;
  std::optional<uint32_t> peerCumulativeAck_;
  // The window of the SACK that carried the newest cumulative ack, or -1 before the first
  // (written under the lock, read without it).
  std::atomic<int64_t> peerWindow_{-1};
  SctpStallWatch stallWatch_;

  std::mutex outputMutex_;  // guards output_ and draining_
  Packets output_;
  bool draining_ = false;
  Packets sending_;  // the draining thread's alone

  std::mutex receiveMutex_;  // guards the assembler
  MessageAssembler assembler_;
};

}  // namespace ombrelia::datachannel
