#include "platform/JsonReader.hpp"

#include <atomic>
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

namespace ombrelia::platform {

namespace {

using nlohmann::json;

// Counts bracket nesting outside strings; the parser itself would accept any depth.
bool nestsWithin(std::string_view text, size_t maxDepth) {
  size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > maxDepth) return false;
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
  }
  return true;
}

std::optional<int64_t> integerValue(const json& value) {
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    return value.get<int64_t>();
  }
  if (value.is_number_unsigned()) {
    uint64_t unsignedValue = value.get<uint64_t>();
    if (unsignedValue > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return std::nullopt;
    }
    return static_cast<int64_t>(unsignedValue);
  }
  if (value.is_number_float()) {
    double d = value.get<double>();
    // 2^63 is the first double past the int64 range; -2^63 itself fits.
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (!std::isfinite(d) || std::trunc(d) != d || d < -kTwoTo63 || d >= kTwoTo63) {
      return std::nullopt;
    }
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

}  // namespace

JsonReader::JsonReader(std::shared_ptr<const json> document, const json* object)
    : document_(std::move(document)), object_(object) {}

namespace {
std::atomic<uint64_t> parsedTextCount{0};
}  // namespace

uint64_t JsonReader::parsedTexts() { return parsedTextCount.load(std::memory_order_relaxed); }

std::optional<JsonReader> JsonReader::parse(std::string_view text) {
  parsedTextCount.fetch_add(1, std::memory_order_relaxed);
  if (!nestsWithin(text, kMaxDepth)) return std::nullopt;
  // No callback and no exceptions: a syntax error or invalid UTF-8 gives a discarded value.
  auto document = std::make_shared<json>(json::parse(text.begin(), text.end(), nullptr, false));
  if (document->is_discarded() || !document->is_object()) return std::nullopt;
  const json* root = document.get();
  return JsonReader(std::move(document), root);
}

const json* JsonReader::find(std::string_view key) const {
  auto it = object_->find(key);
  if (it == object_->end() || it->is_null()) return nullptr;
  return &*it;
}

std::optional<std::string> JsonReader::string(std::string_view key) const {
  const json* value = find(key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get_ref<const std::string&>();
}

std::optional<int64_t> JsonReader::int64(std::string_view key) const {
  const json* value = find(key);
  if (value == nullptr) return std::nullopt;
  return integerValue(*value);
}

std::optional<int32_t> JsonReader::int32(std::string_view key) const {
  auto value = int64(key);
  if (!value || *value < std::numeric_limits<int32_t>::min() ||
      *value > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(*value);
}

std::optional<double> JsonReader::number(std::string_view key) const {
  const json* value = find(key);
  if (value == nullptr || !value->is_number()) return std::nullopt;
  double d = value->get<double>();
  // A literal too large for a double reads as infinity; no sender can have meant that.
  if (!std::isfinite(d)) return std::nullopt;
  return d;
}

std::optional<bool> JsonReader::boolean(std::string_view key) const {
  const json* value = find(key);
  if (value == nullptr || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

std::optional<Uuid> JsonReader::uuid(std::string_view key) const {
  const json* value = find(key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return Uuid::parse(value->get_ref<const std::string&>());
}

std::optional<JsonReader> JsonReader::object(std::string_view key) const {
  const json* value = find(key);
  if (value == nullptr || !value->is_object()) return std::nullopt;
  return JsonReader(document_, value);
}

std::optional<std::vector<std::string>> JsonReader::strings(std::string_view key) const {
  const json* value = find(key);
  if (value == nullptr || !value->is_array()) return std::nullopt;
  std::vector<std::string> out;
  out.reserve(value->size());
  for (const json& element : *value) {
    if (!element.is_string()) return std::nullopt;
    out.push_back(element.get_ref<const std::string&>());
  }
  return out;
}

std::optional<std::vector<JsonReader>> JsonReader::objects(std::string_view key) const {
  const json* value = find(key);
  if (value == nullptr || !value->is_array()) return std::nullopt;
  std::vector<JsonReader> out;
  out.reserve(value->size());
  for (const json& element : *value) {
    if (!element.is_object()) return std::nullopt;
    out.push_back(JsonReader(document_, &element));
  }
  return out;
}

std::optional<std::optional<std::string>> JsonReader::optionalString(std::string_view key) const {
  const json* value = find(key);
  if (value == nullptr) return std::optional<std::string>{};
  if (!value->is_string()) return std::nullopt;
  return std::optional<std::string>{value->get_ref<const std::string&>()};
}

std::optional<std::optional<int64_t>> JsonReader::optionalInt64(std::string_view key) const {
  const json* value = find(key);
  if (value == nullptr) return std::optional<int64_t>{};
  auto integer = integerValue(*value);
  if (!integer) return std::nullopt;
  return std::optional<int64_t>{*integer};
}

}  // namespace ombrelia::platform
