#include "support/ChannelOpeningPeer.hpp"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "datachannel/DcepMessage.hpp"
#include "platform/Uuid.hpp"
#include "protocol/FileRequestMessage.hpp"
#include "protocol/FileRequestResponseMessageReader.hpp"
#include "protocol/SegmentFrame.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

// How long a reader with its window shut waits for the last bytes it may still get.
constexpr int kShutWindowWaitSeconds = 5;

}  // namespace

using datachannel::DcepMessage;

ChannelOpeningPeer::ChannelOpeningPeer(const datachannel::DCConfiguration& config, Signals signals)
    : connection_(datachannel::DCPeerConnection::create(config)) {
  if (!connection_) return;
  connection_->onLocalDescription([signals](std::string sdp) { signals.description(sdp); });
  connection_->onLocalCandidate(
      [signals](std::string candidate, std::string mid) { signals.candidate(candidate, mid); });
  channel_ = connection_->createDataChannel("P2P");
  if (channel_) channel_->onOpen([open = open_](datachannel::DCDcEvent) { open->countDown(); });
}

void ChannelOpeningPeer::takeAnswer(const std::string& sdp) {
  if (connection_) connection_->setRemoteDescription(sdp);
}

void ChannelOpeningPeer::takeCandidate(const std::string& candidate, const std::string& mid) {
  if (connection_) connection_->addRemoteCandidate(candidate, mid);
}

bool ChannelOpeningPeer::waitOpen(std::chrono::milliseconds bound) {
  return channel_ && open_->waitFor(1, bound);
}

bool ChannelOpeningPeer::send(uint16_t stream, uint32_t ppid, const std::vector<uint8_t>& bytes,
                              std::chrono::steady_clock::time_point deadline) {
  // Refused while the connection's own send buffer is full: it drains at the pace of the
  // other side's acknowledgements, which say nothing to this thread.
  while (!connection_->sendRawForTesting(stream, ppid, bytes)) {
    const auto state = connection_->state();
    if (state == datachannel::DCIceState::failed || state == datachannel::DCIceState::closed ||
        std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool ChannelOpeningPeer::hasEnded() const {
  const auto state = connection_->state();
  return state == datachannel::DCIceState::failed || state == datachannel::DCIceState::closed;
}

bool ChannelOpeningPeer::reopenChannels(size_t streams, std::chrono::milliseconds bound) {
  const auto id = channel_ ? channel_->id() : std::nullopt;
  if (!id || streams == 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  datachannel::SctpImpairment shut;
  shut.shutWindow = true;
  connection_->impairSctpForTesting(shut);
  DcepMessage open;
  open.label = "P2P";
  const std::vector<uint8_t> opening = open.encode();
  for (size_t i = 0; std::chrono::steady_clock::now() < deadline; ++i) {
    if (hasEnded()) return true;
    const auto stream = static_cast<uint16_t>(*id + 2 * (1 + i % streams));
    if (!send(stream, DcepMessage::kPpidControl, opening, deadline)) return hasEnded();
    ++opened_;
    // A pause now and then lets the other side close each one before it comes again.
    if (i % streams == streams - 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return hasEnded();
}

size_t ChannelOpeningPeer::askSteadily(std::chrono::milliseconds interval,
                                       std::chrono::milliseconds bound) {
  const auto id = channel_ ? channel_->id() : std::nullopt;
  if (!id) return 0;
  datachannel::SctpImpairment shut;
  shut.shutWindow = true;
  connection_->impairSctpForTesting(shut);
  const auto deadline = std::chrono::steady_clock::now() + bound;
  auto next = std::chrono::steady_clock::now();
  size_t asked = 0;
  while (!hasEnded() && std::chrono::steady_clock::now() < deadline) {
    const auto text = FileRequestMessage("fileRequest", Uuid::random(), "never-stored",
                                         static_cast<int64_t>(asked), 1, "video")
                          .encode();
    if (!text.ok()) return asked;
    const std::vector<uint8_t> bytes(text.text->begin(), text.text->end());
    if (!send(*id, DcepMessage::kPpidString, bytes, deadline)) break;
    ++asked;
    next += interval;
    std::this_thread::sleep_until(next);
  }
  return asked;
}

ChannelOpeningPeer::Fetched ChannelOpeningPeer::fetchThenLeave(const std::string& videoID,
                                                               size_t whole,
                                                               std::chrono::milliseconds lingering,
                                                               std::chrono::milliseconds bound) {
  // Filled on the channel's callback thread.
  struct Seen {
    std::mutex mutex;  // guards everything below
    std::condition_variable changed;
    std::map<Uuid, int64_t> sizes;  // of the segments answered as coming
    std::set<Uuid> refused;         // answered as not available
    std::map<Uuid, int64_t> payload;
    uint64_t frameBytes = 0;
  };
  auto seen = std::make_shared<Seen>();
  Fetched fetched;
  if (!channel_ || !channel_->isOpen()) return fetched;
  channel_->onMessage(
      [seen](std::string text) {
        const auto answer = FileRequestResponseMessageReader().readJSON(text);
        if (!answer) return;
        std::lock_guard lock(seen->mutex);
        if (answer->valid() && answer->size())
          seen->sizes[answer->requestID()] = *answer->size();
        else
          seen->refused.insert(answer->requestID());
        seen->changed.notify_all();
      },
      [seen](Data data) {
        const auto frame = SegmentFrame::parse(data);
        std::lock_guard lock(seen->mutex);
        seen->frameBytes += data.size();
        if (frame) seen->payload[frame->requestID] += static_cast<int64_t>(frame->payload.size());
        seen->changed.notify_all();
      });
  const auto deadline = std::chrono::steady_clock::now() + bound;
  const auto ask = [&](int64_t number, int64_t quality) {
    const Uuid id = Uuid::random();
    channel_->sendText(
        *FileRequestMessage("fileRequest", id, videoID, number, quality, "video").encode().text);
    return id;
  };
  const auto until = [&](const auto& done) {
    std::unique_lock lock(seen->mutex);
    return seen->changed.wait_until(lock, deadline, [&] { return done(); });
  };
  // For what only may come once the window is shut: a primer that the shut window catches
  // half-way, or a frame the other side holds back, comes by window probes at the pace of
  // SCTP's backed-off timer, or never once the other side ends the stalled transfer.
  const auto briefly = [&](const auto& done) {
    const auto by =
        std::min(deadline, std::chrono::steady_clock::now() +
                               scaledWait(std::chrono::seconds(kShutWindowWaitSeconds)));
    std::unique_lock lock(seen->mutex);
    return seen->changed.wait_until(lock, by, [&] { return done(); });
  };
  // Which quality the other side holds: the asks for those it lacks wait there unanswered.
  std::map<Uuid, int64_t> qualityOf;
  for (int64_t quality = 0; quality < 4; ++quality) qualityOf[ask(0, quality)] = quality;
  Uuid current;
  if (!until([&] {
        for (const auto& [id, quality] : qualityOf) {
          if (seen->sizes.count(id) == 0) continue;
          current = id;
          return true;
        }
        return false;
      }))
    return fetched;
  const int64_t quality = qualityOf.at(current);
  const auto isWhole = [&](const Uuid& id) {
    const auto size = seen->sizes.find(id);
    return size != seen->sizes.end() && seen->payload[id] >= size->second;
  };
  // Every quality that was answered comes whole first: each takes one of the two transfers the
  // other side serves a peer at once.
  if (!until([&] {
        return std::all_of(seen->sizes.begin(), seen->sizes.end(),
                           [&](const auto& entry) { return isWhole(entry.first); });
      }))
    return fetched;
  fetched.wholeSegments = 1;
  for (size_t n = 1; n < whole; ++n) {
    // An ask the other side refuses while it still counts a finished transfer is asked again.
    bool read = false;
    while (!read && std::chrono::steady_clock::now() < deadline) {
      current = ask(static_cast<int64_t>(n), quality);
      if (!until([&] { return isWhole(current) || seen->refused.count(current) != 0; })) break;
      {
        std::lock_guard lock(seen->mutex);
        read = isWhole(current);
      }
      if (!read) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!read) break;
    ++fetched.wholeSegments;
  }
  datachannel::SctpImpairment shut;
  shut.shutWindow = true;
  connection_->impairSctpForTesting(shut);
  // The window it advertised before still lets a segment in at once: one more segment read with
  // the window shut has the other side learn it is, and the next then waits there.
  const Uuid primer = ask(static_cast<int64_t>(whole), quality);
  briefly([&] { return isWhole(primer) || seen->refused.count(primer) != 0; });
  const uint64_t before = [&] {
    std::lock_guard lock(seen->mutex);
    return seen->frameBytes;
  }();
  ask(static_cast<int64_t>(whole) + 1, quality);
  briefly([&] { return seen->frameBytes > before; });
  std::this_thread::sleep_for(lingering);
  connection_->close();
  // Frames delivered as it closed are counted too: their callbacks may still run just after.
  while (!hasEnded() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::lock_guard lock(seen->mutex);
  fetched.frameBytes = seen->frameBytes;
  return fetched;
}

size_t ChannelOpeningPeer::openChannels(size_t count, size_t bytes, size_t messages,
                                        std::chrono::milliseconds bound) {
  const auto id = channel_ ? channel_->id() : std::nullopt;
  if (!id) return 0;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  DcepMessage open;
  open.label.assign(bytes, 'l');
  open.protocol.assign(bytes, 'p');
  const std::vector<uint8_t> opening = open.encode();
  constexpr uint16_t kLastStream = 1023;
  std::vector<uint16_t> streams;
  for (uint32_t stream = *id + 2u; stream <= kLastStream && streams.size() < count; stream += 2)
    streams.push_back(static_cast<uint16_t>(stream));
  for (const uint16_t stream : streams) {
    if (!send(stream, DcepMessage::kPpidControl, opening, deadline)) return opened_;
    ++opened_;
  }
  const std::vector<uint8_t> payload(16 * 1024, 'm');
  for (size_t i = 0; i < messages; ++i) {
    for (const uint16_t stream : streams) {
      if (!send(stream, DcepMessage::kPpidBinary, payload, deadline)) return opened_;
    }
  }
  return opened_;
}

}  // namespace ombrelia::test
