#include "protocol/MBSecMetrics.hpp"

#include <nlohmann/json.hpp>

#include "protocol/RecordReader.hpp"

namespace ombrelia {

void MBSecMetrics::reset() {
  MB_peer = 0;
  MB_server = 0;
  sec_peer = 0;
  sec_server = 0;
}

nlohmann::ordered_json MBSecMetrics::toJSON() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["MB_peer"] = MB_peer;
  object["MB_server"] = MB_server;
  object["sec_peer"] = sec_peer;
  object["sec_server"] = sec_server;
  return object;
}

std::optional<MBSecMetrics> MBSecMetrics::fromJSON(const nlohmann::ordered_json& object) {
  RecordReader reader(object);
  MBSecMetrics record;
  reader.read("MB_peer", record.MB_peer);
  reader.read("MB_server", record.MB_server);
  reader.read("sec_peer", record.sec_peer);
  reader.read("sec_server", record.sec_server);
  if (!reader.ok()) return std::nullopt;
  return record;
}

}  // namespace ombrelia
