#include "protocol/ConnectedMetrics.hpp"

#include <nlohmann/json.hpp>

#include "protocol/RecordReader.hpp"

namespace ombrelia {

void ConnectedMetrics::updateMetrics(int64_t dataSizeInKB, int64_t dataSizeInSeconds, bool isHttp,
                                     PeerType peerType, bool bestQuality,
                                     const SegmentInfo& segmentInfo,
                                     const MetricsContext& context) {
  countSegment(dataSizeInKB, dataSizeInSeconds, isHttp, peerType, bestQuality, segmentInfo,
               context);
}

void ConnectedMetrics::reset() {
  MB_peer = 0;
  MB_server = 0;
  sec_peer = 0;
  sec_server = 0;
  MB_peer_city = 0;
  MB_peer_country = 0;
  MB_peer_ip = 0;
  MB_peer_region = 0;
  timeHQ = 0;
  timeLQ = 0;
  represented_client = 1;
  for (MBSecMetrics* bucket : {&phone, &tablet, &desktop, &tv, &wifi, &cellular}) bucket->reset();
}

nlohmann::ordered_json ConnectedMetrics::toJSON() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["MB_peer"] = MB_peer;
  object["MB_server"] = MB_server;
  object["sec_peer"] = sec_peer;
  object["sec_server"] = sec_server;
  object["MB_peer_city"] = MB_peer_city;
  object["MB_peer_country"] = MB_peer_country;
  object["MB_peer_ip"] = MB_peer_ip;
  object["MB_peer_region"] = MB_peer_region;
  object["timeHQ"] = timeHQ;
  object["timeLQ"] = timeLQ;
  object["bestQuality"] = bestQuality;
  object["otherQualities"] = otherQualities;
  object["represented_client"] = represented_client;
  object["phone"] = phone.toJSON();
  object["tablet"] = tablet.toJSON();
  object["desktop"] = desktop.toJSON();
  object["tv"] = tv.toJSON();
  object["wifi"] = wifi.toJSON();
  object["cellular"] = cellular.toJSON();
  object["qualities"] = qualities.toJSON();
  object["isStalled"] = isStalled;
  object["nbrStalls"] = nbrStalls;
  object["nbrQualityChange"] = nbrQualityChange;
  object["current_buffer"] = current_buffer;
  return object;
}

std::optional<ConnectedMetrics> ConnectedMetrics::fromJSON(const nlohmann::ordered_json& object) {
  RecordReader reader(object);
  ConnectedMetrics record;
  reader.read("MB_peer", record.MB_peer);
  reader.read("MB_server", record.MB_server);
  reader.read("sec_peer", record.sec_peer);
  reader.read("sec_server", record.sec_server);
  reader.read("MB_peer_city", record.MB_peer_city);
  reader.read("MB_peer_country", record.MB_peer_country);
  reader.read("MB_peer_ip", record.MB_peer_ip);
  reader.read("MB_peer_region", record.MB_peer_region);
  reader.read("timeHQ", record.timeHQ);
  reader.read("timeLQ", record.timeLQ);
  reader.read("bestQuality", record.bestQuality);
  reader.read("otherQualities", record.otherQualities);
  reader.read("represented_client", record.represented_client);
  reader.readRecord("phone", record.phone);
  reader.readRecord("tablet", record.tablet);
  reader.readRecord("desktop", record.desktop);
  reader.readRecord("tv", record.tv);
  reader.readRecord("wifi", record.wifi);
  reader.readRecord("cellular", record.cellular);
  reader.readRecord("qualities", record.qualities);
  reader.read("isStalled", record.isStalled);
  reader.read("nbrStalls", record.nbrStalls);
  reader.read("nbrQualityChange", record.nbrQualityChange);
  reader.read("current_buffer", record.current_buffer);
  if (!reader.ok()) return std::nullopt;
  return record;
}

}  // namespace ombrelia
