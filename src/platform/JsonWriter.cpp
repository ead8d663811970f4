#include "platform/JsonWriter.hpp"

#include <cmath>
#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

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
      if (!JsonWriter::isValidUtf8(value->get_ref<const std::string&>())) {
        return JsonWriteFailure::invalidUtf8;
      }
    } else if (value->is_object()) {
      for (auto it = value->begin(); it != value->end(); ++it) {
        if (!JsonWriter::isValidUtf8(it.key())) return JsonWriteFailure::invalidUtf8;
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

bool JsonWriter::isValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t length;
    uint32_t codePoint;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      codePoint = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      codePoint = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      codePoint = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) < length) return false;
    for (size_t i = 1; i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and code points past U+10FFFF are not UTF-8.
    if ((length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000) ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF) {
      return false;
    }
    p += length;
  }
  return true;
}

}  // namespace ombrelia::platform
