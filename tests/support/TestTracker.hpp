#pragma once
// Any thread: the tracker serves on its own I/O thread; every operation below may be called
// from the test's thread and locks the recorded state.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <ombrelia/Url.hpp>

#include "platform/Uuid.hpp"
#include "support/ChannelOpeningPeer.hpp"
#include "support/TestCertificates.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {

// A signalling service for tests and the demo: a wss server on 127.0.0.1 that answers "init"
// with a fresh "uuid", "groupRequest" with the other clients of the same video (each pair
// introduced to one side only, so they never both offer), relays "transfer" to the addressed
// client with "askingPeerID" set to the sender, records everything else, and announces
// departures with "peerConnectedModif". It can misbehave on demand, and can hold a participant
// of its own that only relays other clients' negotiation as if it were its own.
class TestTracker {
 public:
  enum class Behaviour {
    serve,
    acceptAndClose,  // takes the TCP connection and closes it at once
    neverHandshake,  // takes the TCP connection and never answers
  };

  struct Settings {
    TestCertificates::Pem certificate;
    uint16_t port = 0;  // any free port when 0; the demo gives a fixed one
  };

  struct Received {
    size_t connection;  // 1 for the first connection that completed its handshake, and so on
    std::string type;
    std::string text;
  };

  explicit TestTracker(Settings settings);
  ~TestTracker();
  TestTracker(const TestTracker&) = delete;
  TestTracker& operator=(const TestTracker&) = delete;

  uint16_t port() const { return port_; }
  // "wss://<host>:<port><pathAndQuery>".
  Url url(const std::string& host = "localhost", const std::string& pathAndQuery = "/") const;

  void setBehaviour(Behaviour behaviour);
  // Closes each connection (with a close frame) this long after its handshake.
  void setCloseAfter(std::optional<std::chrono::milliseconds> delay);
  // Sends a "groupResponse" of its own right after every "uuid".
  void setGroupResponseAfterUuid(bool enabled);
  // Whether a client's end is announced to the others (on by default). Off, the viewers must
  // find a vanished peer out by themselves.
  void setAnnounceDepartures(bool enabled);
  // To every open connection: `count` text frames of `bytes` bytes each, as fast as the
  // connection takes them; each is made only when the one before has been written, so the
  // tracker itself holds one at a time. Returns at once.
  void floodToAll(size_t count, size_t bytes);
  // Flood frames written so far, over all connections.
  size_t floodWritten() const;
  // A participant without a connection of its own sends client `to` `count` offers back to back,
  // each written once the one before has been: one description without candidates, with a
  // fresh ICE user fragment each time. Its identifier, or none when `to` is not connected.
  // Returns at once.
  std::optional<Uuid> floodOffers(const Uuid& to, size_t count);
  // Offers of floodOffers() written so far.
  size_t offersWritten() const;

  size_t acceptedCount() const;
  size_t handshakeCount() const;
  // The request target (path and query) of every completed handshake, in order.
  std::vector<std::string> handshakeTargets() const;
  size_t openCount() const;
  std::vector<Received> received() const;
  std::vector<Received> received(const std::string& type) const;

  // Waits until the predicate holds, re-checked after every event; false on timeout.
  bool waitUntil(const std::function<bool()>& predicate,
                 std::chrono::milliseconds timeout = scaledWait(std::chrono::seconds(5))) const;

  // To every open connection: a text frame; a binary frame; a text frame of `bytes` bytes;
  // bytes written straight on the TLS stream, outside any frame; a close frame.
  void sendToAll(const std::string& text);
  void sendBinaryToAll(const std::string& bytes);
  void sendOversizedToAll(size_t bytes);
  void sendRawToAll(const std::string& bytes);
  void closeAll();
  // A participant without a connection of its own joins the video of client `from`: it is
  // introduced to `from` alone, as a new member of its group, and relays as its own whatever
  // `from` and `to` address to it, each to the other. So `from` offers to it, `to` receives that
  // offer as the participant's, and the two build a connection to each other that each files
  // under the participant. Its identifier, or none when either client is not connected (then
  // nothing changes). One participant at a time: a second call replaces the first, silently.
  std::optional<Uuid> startRelaying(const Uuid& from, const Uuid& to);
  // The relaying participant leaves; its departure is announced to the clients of its video as
  // any other (unless departures are silent). Nothing happens without one.
  void stopRelaying();

  // A participant with a real connection on 127.0.0.1 (ChannelOpeningPeer) offers to client
  // `to`, negotiating through the tracker as any client does. Its identifier once its channel
  // "P2P" is open, or none when `to` is not connected or the channel did not open in time. One
  // at a time: a second call replaces the first.
  std::optional<Uuid> joinChannelOpener(const Uuid& to);
  // That participant opens `count` channels on streams of its own with labels and protocols of
  // `bytes` bytes, then sends `messages` messages on each, never answering a reset
  // (ChannelOpeningPeer::openChannels). Returns at once; false without a participant.
  bool openChannels(size_t count, size_t bytes, size_t messages);
  // That participant shuts its receive window and opens "P2P" again and again on `streams` of
  // its streams, until its connection ends or `bound` (ChannelOpeningPeer::reopenChannels).
  // Returns at once; false without a participant.
  bool reopenChannels(size_t streams, std::chrono::milliseconds bound);
  // `count` such participants join, each offering to `to`, to stay beside the one above. How
  // many had their channel "P2P" open within 20 s.
  size_t joinAskers(const Uuid& to, size_t count);
  // Each shuts its window and sends a segment request every `interval` until `bound`
  // (ChannelOpeningPeer::askSteadily). Returns at once; false without any, or when they ask
  // already.
  bool askSteadily(std::chrono::milliseconds interval, std::chrono::milliseconds bound);
  // Those of them whose connection has ended.
  size_t askersEnded() const;
  // One more such participant, beside them, reads `whole` segments of client `to`'s video and
  // leaves mid-transfer with frames queued for it (ChannelOpeningPeer::fetchThenLeave). What it
  // received; none when `to` is not connected or the channel did not open within 20 s.
  std::optional<ChannelOpeningPeer::Fetched> fetchThenLeave(const Uuid& to, size_t whole,
                                                            std::chrono::milliseconds lingering);
  // Whether that participant's connection has ended.
  bool channelOpenerEnded() const;
  // The opens it has sent so far.
  size_t channelsOpened() const;

  // Stops serving altogether, control frames included, until thaw() or the tracker's end: to
  // the client it looks like a peer that vanished without closing.
  void freeze();
  void thaw();

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
  uint16_t port_ = 0;
};

}  // namespace ombrelia::test
