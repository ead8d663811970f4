#include "protocol/RecordReader.hpp"

#include <charconv>
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

namespace ombrelia {
namespace {

bool readInteger(const nlohmann::ordered_json& value, int64_t& out) {
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    out = value.get<int64_t>();
    return true;
  }
  if (value.is_number_unsigned()) {
    const auto unsignedValue = value.get<uint64_t>();
    if (unsignedValue > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    out = static_cast<int64_t>(unsignedValue);
    return true;
  }
  return false;
}

}  // namespace

RecordReader::RecordReader(const nlohmann::ordered_json& object)
    : object_(object), ok_(object.is_object()) {}

const nlohmann::ordered_json* RecordReader::find(std::string_view key) {
  if (!ok_) return nullptr;
  const auto found = object_.find(key);
  if (found == object_.end()) {
    ok_ = false;
    return nullptr;
  }
  return &*found;
}

void RecordReader::read(std::string_view key, int64_t& out) {
  const auto* value = find(key);
  if (value != nullptr && !readInteger(*value, out)) ok_ = false;
}

void RecordReader::read(std::string_view key, double& out) {
  const auto* value = find(key);
  if (value == nullptr) return;
  if (!value->is_number() || !std::isfinite(value->get<double>())) {
    ok_ = false;
    return;
  }
  out = value->get<double>();
}

void RecordReader::read(std::string_view key, std::string& out) {
  const auto* value = find(key);
  if (value == nullptr) return;
  if (!value->is_string()) {
    ok_ = false;
    return;
  }
  out = value->get<std::string>();
}

void RecordReader::read(std::string_view key, std::vector<std::string>& out) {
  const auto* value = find(key);
  if (value == nullptr) return;
  if (!value->is_array()) {
    ok_ = false;
    return;
  }
  std::vector<std::string> texts;
  for (const auto& element : *value) {
    if (!element.is_string()) {
      ok_ = false;
      return;
    }
    texts.push_back(element.get<std::string>());
  }
  out = std::move(texts);
}

void RecordReader::read(std::string_view key, std::map<int64_t, int64_t>& out) {
  const auto* value = object(key);
  if (value == nullptr) return;
  std::map<int64_t, int64_t> counts;
  for (const auto& [name, count] : value->items()) {
    int64_t code = 0;
    const char* end = name.data() + name.size();
    const auto parsed = std::from_chars(name.data(), end, code);
    int64_t number = 0;
    if (name.empty() || parsed.ec != std::errc() || parsed.ptr != end ||
        !readInteger(count, number)) {
      ok_ = false;
      return;
    }
    counts[code] = number;
  }
  out = std::move(counts);
}

const nlohmann::ordered_json* RecordReader::object(std::string_view key) {
  const auto* value = find(key);
  if (value != nullptr && !value->is_object()) {
    ok_ = false;
    return nullptr;
  }
  return value;
}

}  // namespace ombrelia
