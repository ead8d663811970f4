#include "analytics/MBSecMetrics.hpp"

#include <nlohmann/json.hpp>

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

}  // namespace ombrelia
