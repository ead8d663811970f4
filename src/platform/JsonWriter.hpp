#pragma once
// Any thread: stateless.

#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace ombrelia::platform {

enum class JsonWriteFailure { none, nonFiniteNumber, invalidUtf8 };

// The compact text of a document, or why it has none.
struct JsonWriteResult {
  std::optional<std::string> text;
  JsonWriteFailure failure = JsonWriteFailure::none;

  bool ok() const { return text.has_value(); }
  // A sentence for the caller's failure log line.
  std::string description() const;
};

// Writes documents in their insertion order, compact, without ever throwing. nlohmann/json on its
// own would write NaN and infinity as null (a value the reader then refuses) and throw on a text
// that is not UTF-8; here both make the write fail so the caller can log and drop the message.
class JsonWriter {
 public:
  static JsonWriteResult write(const nlohmann::ordered_json& document);
};

}  // namespace ombrelia::platform
