#pragma once
// Any thread: the loaders, the download controller, the peer engine, the delegate and main
// queues and the application all call it; one mutex serialises every operation.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <ombrelia/SegmentInfo.hpp>

#include "signalling/PeerType.hpp"

namespace ombrelia {

// The one analytics sink of the library: every request, byte, error and delay of the delivery
// path is counted here, into the current interval's figures and the totals since creation.
class AnalyticsService {
 public:
  // The current interval's figures, each named as its key in the analytics record. Byte
  // figures are kibibytes (`toKB`), media seconds whole seconds of video, delays milliseconds.
  struct Metrics {
    std::string seg_ext;
    int64_t nReq = 0;
    int64_t timeHQ = 0;
    int64_t timeLQ = 0;
    int64_t bestQuality = 0;
    int64_t otherQualities = 0;
    int64_t nbrQualityChange = 0;
    std::map<int64_t, int64_t> HTTP_errors;
    int64_t nReq_server = 0;
    double ttfb_server = 0;
    int64_t sec_server = 0;
    int64_t MB_server = 0;
    int64_t B_manifest = 0;
    int64_t MB_peer = 0;
    int64_t nReq_p2p = 0;
    int64_t sec_peer = 0;
    int64_t MB_peer_city = 0;
    int64_t MB_peer_region = 0;
    int64_t MB_peer_country = 0;
    int64_t MB_peer_ip = 0;
  };

  [[nodiscard]] static std::shared_ptr<AnalyticsService> create(std::string clientID);

  AnalyticsService(const AnalyticsService&) = delete;
  AnalyticsService& operator=(const AnalyticsService&) = delete;

  // The customer key both analytics envelopes carry.
  const std::string& clientID() const { return clientID_; }

  // One origin request, counted before it is sent.
  void newHttpRequest();
  // One segment request handed to a peer.
  void newP2PRequest();
  // A transport failure of an origin request, by its URL-loading error code.
  void addError(int64_t code);
  // The time from an origin segment request's start to its completion; the latest wins.
  void httpSegmentStartDelay(double milliseconds);
  void addManifestDataReceived(int64_t dataSize);
  // An absent peer type counts as unknown.
  void addMediaDataReceived(int64_t dataSize, bool isHttp, const SegmentInfo& segmentInfo,
                            std::optional<PeerType> peerType);
  // Bytes of one segment frame handed to a peer's channel; an absent peer type counts as
  // unknown.
  void addDataSent(int64_t dataSize, std::optional<PeerType> type);
  // The time from a peer request's creation to its first segment frame; the latest wins.
  void p2pSegmentStartDelay(double milliseconds, std::optional<PeerType> peerType);
  // Counts a change of the requested quality; the first quality is only remembered.
  void segmentRequested(const std::string& quality);
  void setSegmentExtension(const std::string& segmentExtension);

  // Totals since creation, in bytes.
  int64_t getDataReceivedHTTP() const;
  int64_t getDataReceivedP2P() const;
  int64_t getDataSentP2P() const;
  double p2pStartDelay() const;

  // Copies taken under the lock.
  Metrics metrics() const;
  std::vector<double> segmentDurations() const;

  // A byte count in kibibytes, truncated toward zero.
  static int64_t toKB(int64_t bytes) { return bytes / 1024; }

 private:
  explicit AnalyticsService(std::string clientID);

  const std::string clientID_;

  mutable std::mutex mutex_;  // guards every field below
  Metrics metrics_;
  std::vector<double> seg_dur_list_;
  std::string lastQuality_;
  int64_t dataReceivedHttp_ = 0;
  int64_t dataReceivedP2P_ = 0;
  int64_t dataSentP2P_ = 0;
  double p2pStartDelay_ = 0;
};

}  // namespace ombrelia
