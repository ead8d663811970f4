// A peer abandons, part-way, a message larger than we accept (partial reliability): what it
// sends on the same stream afterwards still arrives, after a stream reset has started its
// sequence numbers again and after they have wrapped.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "datachannel/GlibLoop.hpp"
#include "datachannel/SctpTransport.hpp"
#include "support/WaitScale.hpp"
#include "support/Waiter.hpp"

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;

constexpr uint16_t kStream = 1;
constexpr uint32_t kBinaryPpid = 53;
// What the receiving side accepts: larger messages reach it in parts.
constexpr size_t kReceiverLimit = 4000;
constexpr size_t kAbandonedBytes = 5 * kReceiverLimit;
// Stream sequence numbers are 16 bits.
constexpr size_t kSequenceNumbers = 65536;
constexpr auto kFlushInterval = 50ms;

// Runs a block on the loop thread, where the transports start and close, and waits for it.
void onLoop(std::function<void()> block) {
  std::promise<void> done;
  GlibLoop::shared().invoke([&] {
    block();
    done.set_value();
  });
  done.get_future().wait();
}

// Whether an SCTP packet carries the last fragment of a message sent in several on `stream` (a
// DATA chunk with the E bit and without the B bit).
bool carriesMessageEnd(const uint8_t* packet, size_t size, uint16_t stream) {
  constexpr size_t kCommonHeader = 12;
  constexpr uint8_t kData = 0;
  constexpr uint8_t kEndFlag = 0x01;
  constexpr uint8_t kBeginFlag = 0x02;
  for (size_t at = kCommonHeader; at + 12 <= size;) {
    uint16_t length = 0;
    std::memcpy(&length, packet + at + 2, sizeof length);
    length = ntohs(length);
    if (length < 4) return false;
    uint16_t sid = 0;
    std::memcpy(&sid, packet + at + 8, sizeof sid);
    if (packet[at] == kData && (packet[at + 1] & (kEndFlag | kBeginFlag)) == kEndFlag &&
        ntohs(sid) == stream) {
      return true;
    }
    at += (length + 3u) & ~3u;
  }
  return false;
}

// Two associations linked in process, without ICE or DTLS: what one sends, the other handles on
// the loop thread, unless it is a message end the test has the path lose.
class LinkedAssociations {
 public:
  LinkedAssociations() {
    SctpTransport::Settings settings;
    SctpTransport::Settings limited = settings;
    limited.maxReceiveMessage = kReceiverLimit;
    sender_ = SctpTransport::create(settings, callbacks(true));
    receiver_ = SctpTransport::create(limited, callbacks(false));
    {
      std::lock_guard lock(state_->waiter.mutex());
      state_->sender = sender_;
      state_->receiver = receiver_;
    }
    onLoop([this] {
      started_ = sender_->start() && receiver_->start();
      // usrsctp refuses a message while its stream's reset is under way, and the transport then
      // holds it until it is flushed, as the connection's tick does.
      flushes_ = GlibLoop::shared().repeat(kFlushInterval, [sender = sender_] {
        sender->flush();
        return true;
      });
    });
  }
  ~LinkedAssociations() {
    onLoop([this] {
      GlibLoop::shared().cancel(flushes_);
      sender_->close();
      receiver_->close();
    });
  }

  bool connected() {
    return started_ &&
           state_->waiter.waitFor(test::scaledWait(10s), [&] { return state_->connected == 2; });
  }
  // While set, the receiver never gets the end of a message sent in parts on the stream.
  void loseMessageEnds(bool lose) {
    std::lock_guard lock(state_->waiter.mutex());
    state_->losing = lose;
  }
  bool send(const std::string& text, std::optional<uint32_t> maxRetransmits = {}) {
    SctpTransport::Reliability reliability;
    reliability.maxRetransmits = maxRetransmits;
    const auto result =
        sender_->send(kStream, kBinaryPpid, reinterpret_cast<const uint8_t*>(text.data()),
                      text.size(), reliability);
    return result == SctpTransport::SendResult::sent || result == SctpTransport::SendResult::queued;
  }
  // Sends a message too large for the receiver, which gets its first parts, and loses its end,
  // which the sender, allowed no retransmission, then abandons. True once a marker sent behind
  // it on the same stream arrives, which ordered delivery allows only past the abandoned one.
  bool abandonOversizedMessage() {
    loseMessageEnds(true);
    if (!send(std::string(kAbandonedBytes, 'L'), 0)) return false;
    const bool abandoned = waitForEndLost() && send("marker") && waitForMessages(1);
    loseMessageEnds(false);
    return abandoned && messages().back() == "marker";
  }
  // Closes the stream as a channel closes: the sender resets its side, the receiver answers with
  // its own. True once the sender has seen that answer, when a channel may take the stream again.
  bool resetStream() {
    onLoop([this] { sender_->resetStream(kStream); });
    return state_->waiter.waitFor(test::scaledWait(10s),
                                  [&] { return state_->answeredResets > 0; });
  }
  bool waitForMessages(size_t count, std::chrono::milliseconds bound = test::scaledWait(10s)) {
    return state_->waiter.waitFor(bound, [&] { return state_->messages.size() >= count; });
  }
  bool waitForEndLost() {
    return state_->waiter.waitFor(test::scaledWait(10s), [&] { return state_->endsLost > 0; });
  }
  std::vector<std::string> messages() {
    std::lock_guard lock(state_->waiter.mutex());
    return state_->messages;
  }

 private:
  struct Path {
    std::deque<std::vector<uint8_t>> packets;
    bool booked = false;
  };
  struct State {
    test::Waiter waiter;
    Path toReceiver;
    Path toSender;
    int connected = 0;
    bool losing = false;
    size_t endsLost = 0;
    int answeredResets = 0;
    std::vector<std::string> messages;
    std::weak_ptr<SctpTransport> sender;
    std::weak_ptr<SctpTransport> receiver;
  };

  // Hands what waits on one direction of the path to the transport at its end.
  static void deliver(const std::weak_ptr<State>& weak, bool fromSender) {
    const auto state = weak.lock();
    if (!state) return;
    std::deque<std::vector<uint8_t>> packets;
    std::shared_ptr<SctpTransport> to;
    {
      std::lock_guard lock(state->waiter.mutex());
      Path& path = fromSender ? state->toReceiver : state->toSender;
      packets.swap(path.packets);
      path.booked = false;
      to = (fromSender ? state->receiver : state->sender).lock();
    }
    if (!to) return;
    for (const auto& packet : packets) to->handlePacket(packet.data(), packet.size());
  }

  SctpTransport::Callbacks callbacks(bool fromSender) {
    SctpTransport::Callbacks callbacks;
    std::weak_ptr<State> weak = state_;
    callbacks.sendPackets = [weak, fromSender](const uint8_t* bytes,
                                               const std::vector<size_t>& ends) {
      const auto state = weak.lock();
      if (!state) return;
      std::lock_guard lock(state->waiter.mutex());
      Path& path = fromSender ? state->toReceiver : state->toSender;
      size_t start = 0;
      for (const size_t end : ends) {
        const uint8_t* packet = bytes + start;
        const size_t size = end - start;
        start = end;
        if (fromSender && state->losing && carriesMessageEnd(packet, size, kStream)) {
          ++state->endsLost;
          state->waiter.notify();
          continue;
        }
        path.packets.emplace_back(packet, packet + size);
      }
      // One delivery at a time: a source per batch would pile up thousands of them on the loop.
      if (path.booked || path.packets.empty()) return;
      path.booked = true;
      GlibLoop::shared().invoke([weak, fromSender] { deliver(weak, fromSender); });
    };
    callbacks.onConnected = [weak] {
      if (const auto state = weak.lock()) {
        std::lock_guard lock(state->waiter.mutex());
        ++state->connected;
        state->waiter.notify();
      }
    };
    if (fromSender) {
      callbacks.onStreamsReset = [weak](std::vector<uint16_t>) {
        if (const auto state = weak.lock()) {
          std::lock_guard lock(state->waiter.mutex());
          ++state->answeredResets;
          state->waiter.notify();
        }
      };
      return callbacks;
    }
    callbacks.onMessage = [weak](uint16_t stream, uint32_t, std::vector<uint8_t> message) {
      if (const auto state = weak.lock(); state && stream == kStream) {
        std::lock_guard lock(state->waiter.mutex());
        state->messages.emplace_back(message.begin(), message.end());
        state->waiter.notify();
      }
    };
    callbacks.onStreamsReset = [weak](std::vector<uint16_t> streams) {
      const auto state = weak.lock();
      if (!state) return;
      std::shared_ptr<SctpTransport> receiver;
      {
        std::lock_guard lock(state->waiter.mutex());
        receiver = state->receiver.lock();
      }
      if (!receiver) return;
      for (const uint16_t stream : streams) receiver->resetStream(stream);
    };
    return callbacks;
  }

  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::shared_ptr<SctpTransport> sender_;
  std::shared_ptr<SctpTransport> receiver_;
  bool started_ = false;
  unsigned flushes_ = 0;
};

TEST(AbandonedMessageTest, MessageAfterTheStreamIsResetIsNotTakenForTheAbandonedOnesRest) {
  LinkedAssociations path;
  ASSERT_TRUE(path.connected());
  ASSERT_TRUE(path.abandonOversizedMessage()) << "the sender never abandoned the message";
  // The channel closes and a new one takes its stream: sequence numbers start again at 0, the
  // abandoned message's own.
  ASSERT_TRUE(path.resetStream()) << "the stream reset was never answered";
  ASSERT_TRUE(path.send("after the reset"));
  ASSERT_TRUE(path.waitForMessages(2))
      << "the first message on the reset stream was dropped as the abandoned one's rest";
  EXPECT_EQ(path.messages().back(), "after the reset");
}

TEST(AbandonedMessageTest, MessageWhoseSequenceNumberWrappedToTheAbandonedOnesArrives) {
  LinkedAssociations path;
  ASSERT_TRUE(path.connected());
  ASSERT_TRUE(path.abandonOversizedMessage()) << "the sender never abandoned the message";
  // The abandoned message had sequence number 0 and the marker 1: the last of these has 0 again.
  const size_t count = kSequenceNumbers - 1;
  for (size_t i = 0; i < count; ++i) {
    ASSERT_TRUE(path.send(std::to_string(i))) << "message " << i;
  }
  ASSERT_TRUE(path.waitForMessages(1 + count, test::scaledWait(60s)))
      << path.messages().size() - 1 << " of " << count << " arrived; the last wrapped around";
  EXPECT_EQ(path.messages().back(), std::to_string(count - 1));
}

}  // namespace
}  // namespace ombrelia::datachannel
