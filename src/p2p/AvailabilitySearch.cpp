#include "p2p/AvailabilitySearch.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include <ombrelia/OmbreliaConfig.hpp>

#include "p2p/Abonnement.hpp"
#include "p2p/PeerEngineSupport.hpp"
#include "p2p/PeerMessagesEnvironment.hpp"
#include "peers/SupersededConnections.hpp"
#include "peers/WebRTCClient.hpp"
#include "protocol/FileAvailabilityResponseMessage.hpp"
#include "store/VideoStorage.hpp"

namespace ombrelia {

namespace {

// The shortest text that reads back to the same double, integral values with ".0" (132.0).
std::string scoreText(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

}  // namespace

void AvailabilitySearch::search(const SegmentInfo& segmentInfo, const std::string& videoID) {
  const std::string mediaType(rawValue(segmentInfo.type()));
  uint64_t searchID = 0;
  {
    std::lock_guard lock(mutex_);
    searchID = ++nextSearchID_;
  }
  int asked = 0;
  const auto peers = environment_.peers();
  // A connection that a newer one to the same viewer replaced is being retired: the viewer is
  // asked over the newer one only, so no new subscription lands on the older.
  const auto superseded = SupersededConnections::among(peers);
  for (const auto& peer : peers) {
    if (!PeerEngineSupport::connected(peer.webRTCClient)) continue;
    if (std::any_of(superseded.begin(), superseded.end(),
                    [&](const auto& entry) { return entry.older.uuid == peer.uuid; }))
      continue;
    const BufferData buffer = environment_.storage->getBufferFrom(
        mediaType, segmentInfo.targetQuality(), segmentInfo.segmentNumber(), videoID);
    FileAvailabilityRequestMessage message(
        std::string(FileAvailabilityRequestMessage::typeString), Uuid::random(), mediaType,
        segmentInfo.targetQuality(), segmentInfo.segmentNumber(), videoID,
        buffer.nrOfSegments * OmbreliaConfig::shared().maxUploadPercent());
    {
      std::lock_guard lock(mutex_);
      if (queries_.size() >= kMaxPendingAvailability) queries_.pop_front();
      queries_.push_back({PeerEngineSupport::now(), message, {}, searchID, false});
    }
    peer.webRTCClient->sendFileAvailbilityRequestMessage(message);
    ++asked;
  }
  PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
    return "availability of segment " + std::to_string(segmentInfo.segmentNumber()) + " asked of " +
           std::to_string(asked) + " connected peers";
  });
}

void AvailabilitySearch::answer(const FileAvailabilityRequestMessage& query,
                                const Peer& peer) const {
  if (!PeerEngineSupport::connected(peer.webRTCClient)) return;
  auto& storage = *environment_.storage;
  const auto availability = storage.isSegmentAvailable(query.mediaType(), query.quality(),
                                                       query.segmentNumber(), query.videoID());
  const BufferData buffer = storage.getBufferFrom(query.mediaType(), query.quality(),
                                                  query.segmentNumber(), query.videoID());
  peer.webRTCClient->sendFileAvailbilityResponseMessage(FileAvailabilityResponseMessage(
      std::string(FileAvailabilityResponseMessage::typeString), query.requestID(), availability.sr,
      availability.qa, static_cast<int64_t>(availability.pos), storage.getSt(query.segmentNumber()),
      storage.getSte(query.segmentNumber()), buffer.bufferSeconds,
      buffer.nrOfSegments * OmbreliaConfig::shared().maxUploadPercent()));
}

AvailabilitySearch::Outcome AvailabilitySearch::takeAnswer(
    const FileAvailabilityResponseMessage& message, const Peer& peer) {
  Outcome outcome;
  std::lock_guard lock(mutex_);
  auto entry = std::find_if(queries_.begin(), queries_.end(), [&](const auto& e) {
    return e.message.requestID() == message.requestID();
  });
  if (entry != queries_.end()) {
    const bool hasAbonnement = abonnement_.peer().has_value();
    if (message.sr() == SegmentReady::ok && !hasAbonnement) {
      // Checked and made in one step with respect to other subscriptions.
      if (abonnement_.subscribeIfNone(peer)) {
        queries_.erase(entry);
        outcome.subscribed = true;
      }
    } else if (message.sr() != SegmentReady::notok && !hasAbonnement && message.pos() > 0) {
      const double score = 25.0 * static_cast<double>(message.pos()) + (message.buf() - 30.0) +
                           5.0 * message.r() + 50.0 * peer.sameIPAsDouble() +
                           10.0 * peer.sameCityAsDouble() + 5.0 * peer.sameRegionAsDouble();
      if (std::isfinite(score) && entry->scores.size() < kMaxScoresPerQuery) {
        // One choice per search, scheduled by the first scored answer to any of its queries.
        const uint64_t searchID = entry->searchID;
        const bool scheduleChoice = std::none_of(
            queries_.begin(), queries_.end(),
            [&](const auto& e) { return e.searchID == searchID && e.choiceScheduled; });
        if (scheduleChoice) {
          for (auto& e : queries_)
            if (e.searchID == searchID) e.choiceScheduled = true;
          outcome.choice = searchID;
        }
        entry->scores.push_back({peer, score});
        PeerEngineSupport::debug(OLogModule::peerScore, [&] {
          return "score for potential abonement uuid: " + peer.uuid.uuidString() +
                 " score: " + scoreText(score);
        });
      }
    }
  }
  const double t = PeerEngineSupport::now();
  std::erase_if(queries_,
                [&](const auto& e) { return t - e.timestamp > kPendingAvailabilityTolerance; });
  return outcome;
}

double AvailabilitySearch::choiceDelay() const {
  const double d = static_cast<double>(environment_.segmentDuration());
  const double b = environment_.bufferLength().value_or(0.0);
  const double delay = std::min(kMaxChoiceDelaySeconds, std::min(d, b) / 4.0);
  return delay > 0 ? delay : 0;
}

std::optional<FileAvailabilityMessageResponseScore> AvailabilitySearch::takeBest(
    uint64_t searchID) {
  std::optional<FileAvailabilityMessageResponseScore> best;
  {
    std::lock_guard lock(mutex_);
    for (const auto& entry : queries_) {
      if (entry.searchID != searchID) continue;
      for (const auto& score : entry.scores)
        if (!best || best->score < score.score) best = score;
    }
    std::erase_if(queries_, [&](const auto& e) { return e.searchID == searchID; });
  }
  if (best)
    PeerEngineSupport::debug(OLogModule::peerScore, [&] {
      return "abonment with highest score selected: " + best->peer.uuid.uuidString() +
             " score: " + scoreText(best->score);
    });
  return best;
}

size_t AvailabilitySearch::count() const {
  std::lock_guard lock(mutex_);
  return queries_.size();
}

}  // namespace ombrelia
