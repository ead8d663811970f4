#include "platform/JsonWriter.hpp"

#include <cmath>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/url/Utf8.hpp"

namespace ombrelia::platform {

namespace {

using nlohmann::ordered_json;

// Walks the tree with an explicit stack so a deep document cannot exhaust the thread's stack.
JsonWriteFailure check(const ordered_json& document) {
  std::vector<const ordered_json*> pending{&document};
  while (!pending.empty()) {
    const ordered_json* value = pending.back();
    pending.pop_back();
    if (value->is_number_float()) {
      if (!std::isfinite(value->get<double>())) return JsonWriteFailure::nonFiniteNumber;
    } else if (value->is_string()) {
      if (!Utf8::isValid(value->get_ref<const std::string&>())) {
        return JsonWriteFailure::invalidUtf8;
      }
    } else if (value->is_object()) {
      for (auto it = value->begin(); it != value->end(); ++it) {
        if (!Utf8::isValid(it.key())) return JsonWriteFailure::invalidUtf8;
        pending.push_back(&it.value());
      }
    } else if (value->is_array()) {
      for (const auto& element : *value) pending.push_back(&element);
    }
  }
  return JsonWriteFailure::none;
}

}  // namespace

std::string JsonWriteResult::description() const {
  switch (failure) {
    case JsonWriteFailure::none:
      return "No error";
    case JsonWriteFailure::nonFiniteNumber:
      return "Invalid number value (NaN or infinity) in JSON write";
    case JsonWriteFailure::invalidUtf8:
      return "Invalid UTF-8 text in JSON write";
  }
  return "Unknown JSON write error";
}

JsonWriteResult JsonWriter::write(const ordered_json& document) {
  JsonWriteResult result;
  result.failure = check(document);
  if (result.failure != JsonWriteFailure::none) return result;
  try {
    result.text = document.dump(-1, ' ', false, ordered_json::error_handler_t::strict);
  } catch (const std::exception&) {
    // Unreachable after the check above; kept so no document can throw through a sender.
    result.failure = JsonWriteFailure::invalidUtf8;
  }
  return result;
}

}  // namespace ombrelia::platform
