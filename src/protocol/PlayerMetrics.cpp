#include "protocol/PlayerMetrics.hpp"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "protocol/RecordReader.hpp"
#include "protocol/SaturatingAdd.hpp"

namespace ombrelia {

void PlayerMetrics::setCurrent_buffer(double value, bool peerConnected) {
  current_buffer_ = value;
  if (peerConnected) connected.current_buffer = current_buffer_;
}

void PlayerMetrics::setNbrQualityChange(int64_t value, bool peerConnected) {
  nbrQualityChange_ = value;
  if (peerConnected) connected.nbrQualityChange = nbrQualityChange_;
}

void PlayerMetrics::setNbrStalls(int64_t value, bool peerConnected) {
  nbrStalls_ = value;
  if (peerConnected) connected.nbrStalls = nbrStalls_;
}

void PlayerMetrics::setIsStalled(int64_t value, bool peerConnected) {
  isStalled_ = value;
  if (peerConnected) connected.isStalled = isStalled_;
}

void PlayerMetrics::updateManifest(int64_t dataSize) { B_manifest = toKB(dataSize); }

void PlayerMetrics::updateMedia(int64_t dataSize, bool isHttp, const SegmentInfo& segmentInfo,
                                PeerType peerType, const MetricsContext& context) {
  const int64_t kb = toKB(dataSize);
  const int64_t seconds = mediaSeconds(segmentInfo);
  const bool best = segmentInfo.bandwidth() == segmentInfo.bestBandwidth();
  countSegment(kb, seconds, isHttp, peerType, best, segmentInfo, context);
  if (context.peerConnected) {
    connected.updateMetrics(kb, seconds, isHttp, peerType, best, segmentInfo, context);
  }
}

void PlayerMetrics::updatep2pSegmentStartDelay(double milliseconds, PeerType peerType) {
  ttfb_peer = milliseconds;
  switch (peerType) {
    case PeerType::ip:
      ttfb_peer_ip = milliseconds;
      break;
    case PeerType::city:
      ttfb_peer_city = milliseconds;
      break;
    case PeerType::region:
      ttfb_peer_region = milliseconds;
      break;
    case PeerType::country:
      ttfb_peer_country = milliseconds;
      break;
    case PeerType::unknown:
      break;
  }
}

void PlayerMetrics::addError(int64_t code) {
  auto& count = HTTP_errors[code];
  count = saturatingAdd(count, 1);
}

int64_t PlayerMetrics::mediaSeconds(const SegmentInfo& segmentInfo) {
  if (segmentInfo.type() != SegmentType::video) return 0;
  const double duration = std::trunc(segmentInfo.duration());
  if (!std::isfinite(duration) || duration < 0 ||
      duration >= static_cast<double>(std::numeric_limits<int64_t>::max())) {
    return 0;
  }
  return static_cast<int64_t>(duration);
}

nlohmann::ordered_json PlayerMetrics::toJSON() const {
  nlohmann::ordered_json errors = nlohmann::ordered_json::object();
  for (const auto& [code, count] : HTTP_errors) errors[std::to_string(code)] = count;

  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["latency"] = latency;
  object["seg_ext"] = seg_ext;
  object["seg_nbr"] = seg_nbr;
  object["seg_dur"] = seg_dur;
  object["q_nbr"] = q_nbr;
  object["protocol"] = protocol;
  object["stream_type"] = stream_type;
  object["nReq"] = nReq;
  object["nav"] = nav;
  object["video_id"] = video_id;
  object["timestamp"] = timestamp;
  object["current_buffer"] = current_buffer_;
  object["timeHQ"] = timeHQ;
  object["timeLQ"] = timeLQ;
  object["bestQuality"] = bestQuality;
  object["otherQualities"] = otherQualities;
  object["nbrQualityChange"] = nbrQualityChange_;
  object["qualities"] = qualities.toJSON();
  object["HTTP_errors"] = std::move(errors);
  object["nReq_server"] = nReq_server;
  object["ttfb_server"] = ttfb_server;
  object["sec_server"] = sec_server;
  object["MB_server"] = MB_server;
  object["B_manifest"] = B_manifest;
  object["MB_peer"] = MB_peer;
  object["nReq_p2p"] = nReq_p2p;
  object["ttfb_peer_city"] = ttfb_peer_city;
  object["ttfb_peer_region"] = ttfb_peer_region;
  object["ttfb_peer_country"] = ttfb_peer_country;
  object["ttfb_peer_ip"] = ttfb_peer_ip;
  object["ttfb_peer"] = ttfb_peer;
  object["connected"] = connected.toJSON();
  object["sec_peer"] = sec_peer;
  object["MB_peer_city"] = MB_peer_city;
  object["MB_peer_region"] = MB_peer_region;
  object["MB_peer_country"] = MB_peer_country;
  object["MB_peer_ip"] = MB_peer_ip;
  if (peer_id) object["peer_id"] = peer_id->uuidString();
  object["nbrStallsP2P"] = nbrStallsP2P;
  object["nbrStallsHTTP"] = nbrStallsHTTP;
  object["nbrStalls"] = nbrStalls_;
  object["sec_rebuff_http"] = sec_rebuff_http;
  object["sec_rebuff_p2p"] = sec_rebuff_p2p;
  object["sec_rebuff"] = sec_rebuff;
  object["isStalled"] = isStalled_;
  object["wifi"] = wifi.toJSON();
  object["cellular"] = cellular.toJSON();
  object["phone"] = phone.toJSON();
  object["tablet"] = tablet.toJSON();
  object["desktop"] = desktop.toJSON();
  object["tv"] = tv.toJSON();
  object["client_uuid"] = client_uuid;
  object["collection"] = collection;
  object["represented_client"] = represented_client;
  object["collections"] = collections;
  return object;
}

std::optional<PlayerMetrics> PlayerMetrics::fromJSON(const nlohmann::ordered_json& object) {
  RecordReader reader(object);
  PlayerMetrics record;
  reader.read("latency", record.latency);
  reader.read("seg_ext", record.seg_ext);
  reader.read("seg_nbr", record.seg_nbr);
  reader.read("seg_dur", record.seg_dur);
  reader.read("q_nbr", record.q_nbr);
  reader.read("protocol", record.protocol);
  reader.read("stream_type", record.stream_type);
  reader.read("nReq", record.nReq);
  reader.read("nav", record.nav);
  reader.read("video_id", record.video_id);
  reader.read("timestamp", record.timestamp);
  reader.read("current_buffer", record.current_buffer_);
  reader.read("timeHQ", record.timeHQ);
  reader.read("timeLQ", record.timeLQ);
  reader.read("bestQuality", record.bestQuality);
  reader.read("otherQualities", record.otherQualities);
  reader.read("nbrQualityChange", record.nbrQualityChange_);
  reader.readRecord("qualities", record.qualities);
  reader.read("HTTP_errors", record.HTTP_errors);
  reader.read("nReq_server", record.nReq_server);
  reader.read("ttfb_server", record.ttfb_server);
  reader.read("sec_server", record.sec_server);
  reader.read("MB_server", record.MB_server);
  reader.read("B_manifest", record.B_manifest);
  reader.read("MB_peer", record.MB_peer);
  reader.read("nReq_p2p", record.nReq_p2p);
  reader.read("ttfb_peer_city", record.ttfb_peer_city);
  reader.read("ttfb_peer_region", record.ttfb_peer_region);
  reader.read("ttfb_peer_country", record.ttfb_peer_country);
  reader.read("ttfb_peer_ip", record.ttfb_peer_ip);
  reader.read("ttfb_peer", record.ttfb_peer);
  reader.readRecord("connected", record.connected);
  reader.read("sec_peer", record.sec_peer);
  reader.read("MB_peer_city", record.MB_peer_city);
  reader.read("MB_peer_region", record.MB_peer_region);
  reader.read("MB_peer_country", record.MB_peer_country);
  reader.read("MB_peer_ip", record.MB_peer_ip);
  if (const auto peerId = object.find("peer_id");
      object.is_object() && peerId != object.end() && !peerId->is_null()) {
    record.peer_id = peerId->is_string() ? Uuid::parse(peerId->get<std::string>()) : std::nullopt;
    if (!record.peer_id) return std::nullopt;
  }
  reader.read("nbrStallsP2P", record.nbrStallsP2P);
  reader.read("nbrStallsHTTP", record.nbrStallsHTTP);
  reader.read("nbrStalls", record.nbrStalls_);
  reader.read("sec_rebuff_http", record.sec_rebuff_http);
  reader.read("sec_rebuff_p2p", record.sec_rebuff_p2p);
  reader.read("sec_rebuff", record.sec_rebuff);
  reader.read("isStalled", record.isStalled_);
  reader.readRecord("wifi", record.wifi);
  reader.readRecord("cellular", record.cellular);
  reader.readRecord("phone", record.phone);
  reader.readRecord("tablet", record.tablet);
  reader.readRecord("desktop", record.desktop);
  reader.readRecord("tv", record.tv);
  reader.read("client_uuid", record.client_uuid);
  reader.read("collection", record.collection);
  reader.read("represented_client", record.represented_client);
  reader.read("collections", record.collections);
  if (!reader.ok()) return std::nullopt;
  return record;
}

}  // namespace ombrelia
