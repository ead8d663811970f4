#pragma once
// Any thread: the loaders, the download controller and the peer engine report from their own
// queues; implementations guard their own figures.

#include <cstdint>
#include <optional>
#include <string>

#include <ombrelia/SegmentInfo.hpp>

#include "protocol/PeerType.hpp"

namespace ombrelia {

// What the delivery path reports to analytics: requests, bytes, errors and delays. It sits
// below the proxy and the peer engine so that they can report without knowing the analytics
// service, which reads their stores and the peer list and so sits above them; the library's
// entry points hand the service to them as this interface.
class AnalyticsFeed {
 public:
  virtual ~AnalyticsFeed() = default;

  // One origin request, counted before it is sent.
  virtual void newHttpRequest() = 0;
  // One segment request handed to a peer.
  virtual void newP2PRequest() = 0;
  // A transport failure of an origin request, by its URL-loading error code.
  virtual void addError(int64_t code) = 0;
  // The time from an origin segment request's start to its completion; the latest wins.
  virtual void httpSegmentStartDelay(double milliseconds) = 0;
  // The time to the first frame of a segment asked of a peer; the latest wins.
  virtual void p2pSegmentStartDelay(double milliseconds, std::optional<PeerType> peerType) = 0;
  // Every body an origin answer brought whole, whatever was asked (a byte range, an init
  // segment, a key, an error page) and whatever becomes of it: the application's origin total.
  // The records count only what the two calls below report.
  virtual void addOriginDataReceived(int64_t dataSize) = 0;
  // A playlist stored, for the records.
  virtual void addManifestDataReceived(int64_t dataSize) = 0;
  // A segment of a stored playlist, whole, for the records; peer bytes for the totals too. An
  // absent peer type counts as unknown in the record and as unclassified in the totals.
  virtual void addMediaDataReceived(int64_t dataSize, bool isHttp, const SegmentInfo& segmentInfo,
                                    std::optional<PeerType> peerType) = 0;
  // One binary frame sent to a peer.
  virtual void addDataSent(int64_t dataSize, std::optional<PeerType> type) = 0;
  // Counts a change of the requested quality; the first quality is only remembered.
  virtual void segmentRequested(const std::string& quality) = 0;
  virtual void setSegmentExtension(const std::string& segmentExtension) = 0;

 protected:
  AnalyticsFeed() = default;
  AnalyticsFeed(const AnalyticsFeed&) = default;
  AnalyticsFeed& operator=(const AnalyticsFeed&) = default;
};

}  // namespace ombrelia
