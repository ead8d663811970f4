#pragma once
// Any thread: pure functions.

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/JsonWriter.hpp"
#include "protocol/RecordReader.hpp"

namespace ombrelia {

// The envelope both analytics messages travel in: {"type", "key", "data"}, in that order.
class AnalyticsEnvelope {
 public:
  template <class Record>
  struct Decoded {
    std::string type;
    std::string key;
    Record data;
  };

  static platform::JsonWriteResult encode(const std::string& type, const std::string& key,
                                          nlohmann::ordered_json data) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["type"] = type;
    object["key"] = key;
    object["data"] = std::move(data);
    return platform::JsonWriter::write(object);
  }

  // Absent unless the text is an object with a text "type" and "key" and a "data" object that
  // reads as Record (through its static fromJSON).
  template <class Record>
  static std::optional<Decoded<Record>> decode(std::string_view text) {
    const auto document = nlohmann::ordered_json::parse(text, nullptr, false);
    RecordReader reader(document);
    Decoded<Record> decoded{{}, {}, {}};
    reader.read("type", decoded.type);
    reader.read("key", decoded.key);
    const auto* data = reader.object("data");
    if (!reader.ok() || data == nullptr) return std::nullopt;
    auto record = Record::fromJSON(*data);
    if (!record) return std::nullopt;
    decoded.data = std::move(*record);
    return decoded;
  }
};

}  // namespace ombrelia
