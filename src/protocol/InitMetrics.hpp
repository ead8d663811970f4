#pragma once
// One thread at a time: written and encoded by the analytics service's report, on its timer.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json_fwd.hpp>

namespace ombrelia {

// The record the init analytics message carries, announcing this client once.
class InitMetrics {
 public:
  InitMetrics() { reset(); }

  void reset();

  const std::string& timestamp() const { return timestamp_; }
  void setTimestamp(std::string value) { timestamp_ = std::move(value); }
  const std::string& video_id() const { return video_id_; }
  void setVideo_id(std::string value) { video_id_ = std::move(value); }
  const std::string& collection() const { return collection_; }
  void setCollection(std::string value) { collection_ = std::move(value); }
  const std::string& new_client_uuid() const { return new_client_uuid_; }
  void setNew_client_uuid(std::string value) { new_client_uuid_ = std::move(value); }
  int64_t new_client_number() const { return new_client_number_; }
  void setNew_client_number(int64_t value) { new_client_number_ = value; }

  // The five keys in their order; every text present even when empty.
  nlohmann::ordered_json toJSON() const;
  // The five keys required, four texts and a 64-bit integer; other members ignored.
  static std::optional<InitMetrics> fromJSON(const nlohmann::ordered_json& object);

 private:
  std::string timestamp_;
  std::string video_id_;
  std::string collection_;
  std::string new_client_uuid_;
  int64_t new_client_number_ = 1;
};

}  // namespace ombrelia
