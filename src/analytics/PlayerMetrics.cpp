#include "analytics/PlayerMetrics.hpp"

#include <nlohmann/json.hpp>

namespace ombrelia {

nlohmann::ordered_json PlayerMetrics::toJSON() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["latency"] = latency_;
  return object;
}

}  // namespace ombrelia
