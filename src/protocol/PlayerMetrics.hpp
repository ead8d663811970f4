#pragma once
// One thread at a time: written by the analytics service under its lock, then handed whole to
// one message and only read after that.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>
#include <ombrelia/SegmentInfo.hpp>

#include "platform/Uuid.hpp"
#include "protocol/ConnectedMetrics.hpp"
#include "protocol/MediaCounters.hpp"
#include "protocol/MetricsContext.hpp"
#include "protocol/PeerType.hpp"

namespace ombrelia {

// The analytics record of one reporting interval. Every member is named as its key in the
// record; byte figures are kibibytes (the MB_ fields and B_manifest included), media seconds
// whole seconds of video, delays milliseconds.
//
// Four figures are mirrored into `connected` at every write made while a peer is connected:
// they are written only through their setters, which take the connected test's answer.
class PlayerMetrics : public MediaCounters {
 public:
  // Set (the latest value of the interval) unless marked added.
  double latency = 0;
  std::string seg_ext;
  int64_t seg_nbr = 0;
  double seg_dur = 0;
  int64_t q_nbr = 0;
  std::string protocol = "hls";
  std::string stream_type;
  int64_t nReq = 0;  // added
  std::string nav = "ios";
  std::string video_id;
  std::string timestamp;
  std::map<int64_t, int64_t> HTTP_errors;  // a count per error code, added
  int64_t nReq_server = 0;                 // added
  double ttfb_server = 0;
  int64_t B_manifest = 0;
  int64_t nReq_p2p = 0;  // added
  double ttfb_peer_city = 0;
  double ttfb_peer_region = 0;
  double ttfb_peer_country = 0;
  double ttfb_peer_ip = 0;
  double ttfb_peer = 0;
  ConnectedMetrics connected;
  std::optional<Uuid> peer_id;
  int64_t nbrStallsP2P = 0;   // added
  int64_t nbrStallsHTTP = 0;  // added
  int64_t sec_rebuff_http = 0;
  int64_t sec_rebuff_p2p = 0;
  int64_t sec_rebuff = 0;
  std::string client_uuid;
  std::string collection;
  int64_t represented_client = 1;
  std::vector<std::string> collections;

  double current_buffer() const { return current_buffer_; }
  void setCurrent_buffer(double value, bool peerConnected);
  int64_t nbrQualityChange() const { return nbrQualityChange_; }
  void setNbrQualityChange(int64_t value, bool peerConnected);
  int64_t nbrStalls() const { return nbrStalls_; }
  void setNbrStalls(int64_t value, bool peerConnected);
  int64_t isStalled() const { return isStalled_; }
  void setIsStalled(int64_t value, bool peerConnected);

  // A downloaded playlist: B_manifest is set to its size.
  void updateManifest(int64_t dataSize);
  // A downloaded segment, from the origin when `isHttp`, classified by `context`.
  void updateMedia(int64_t dataSize, bool isHttp, const SegmentInfo& segmentInfo, PeerType peerType,
                   const MetricsContext& context);
  // Time to the first byte of a peer segment, overall and for the peer's proximity class.
  void updatep2pSegmentStartDelay(double milliseconds, PeerType peerType);
  void addError(int64_t code);

  // The 55 keys in declaration order; `peer_id` only when known, in upper case.
  nlohmann::ordered_json toJSON() const;
  // Every key but `peer_id` required with its type; `peer_id` may be missing or null, and must
  // otherwise be identifier text. Other members are ignored and no mirror runs.
  static std::optional<PlayerMetrics> fromJSON(const nlohmann::ordered_json& object);

  // A byte count in kibibytes, truncated toward zero.
  static int64_t toKB(int64_t bytes) { return bytes / 1024; }
  // Whole seconds of a video segment; other segments carry none. A duration that is not finite
  // or outside the counter's range counts none rather than stopping the process.
  static int64_t mediaSeconds(const SegmentInfo& segmentInfo);

 private:
  double current_buffer_ = 0;
  int64_t nbrQualityChange_ = 0;
  int64_t nbrStalls_ = 0;
  int64_t isStalled_ = 0;
};

}  // namespace ombrelia
