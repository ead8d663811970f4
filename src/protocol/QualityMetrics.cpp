#include "protocol/QualityMetrics.hpp"

#include <nlohmann/json.hpp>

#include "protocol/RecordReader.hpp"
#include "protocol/SaturatingAdd.hpp"

namespace ombrelia {

void QualityMetrics::update(int64_t dataSizeInKB, QualityType qualityType) {
  int64_t* counter = nullptr;
  switch (qualityType) {
    case QualityType::SD:
      counter = &SD;
      break;
    case QualityType::HD:
      counter = &HD;
      break;
    case QualityType::FullHD:
      counter = &FullHD;
      break;
    case QualityType::K2:
      counter = &K2;
      break;
    case QualityType::K4:
      counter = &K4;
      break;
    case QualityType::K8:
      counter = &K8;
      break;
    case QualityType::AUDIO:
      counter = &audio;
      break;
  }
  if (counter != nullptr) *counter = saturatingAdd(*counter, dataSizeInKB);
}

void QualityMetrics::reset() { SD = HD = FullHD = K2 = K4 = K8 = audio = 0; }

nlohmann::ordered_json QualityMetrics::toJSON() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["SD"] = SD;
  object["HD"] = HD;
  object["FullHD"] = FullHD;
  object["2K"] = K2;
  object["4K"] = K4;
  object["8K"] = K8;
  object["audio"] = audio;
  return object;
}

std::optional<QualityMetrics> QualityMetrics::fromJSON(const nlohmann::ordered_json& object) {
  RecordReader reader(object);
  QualityMetrics record;
  reader.read("SD", record.SD);
  reader.read("HD", record.HD);
  reader.read("FullHD", record.FullHD);
  reader.read("2K", record.K2);
  reader.read("4K", record.K4);
  reader.read("8K", record.K8);
  reader.read("audio", record.audio);
  if (!reader.ok()) return std::nullopt;
  return record;
}

}  // namespace ombrelia
