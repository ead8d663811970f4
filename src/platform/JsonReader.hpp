#pragma once
// Any thread: a reader is a value over an immutable parsed document; copies share it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/Uuid.hpp"

namespace ombrelia::platform {

// Strict, non-throwing field access to one JSON object read from the network. Every getter
// gives a value only when the key is present, not null and of the exact kind asked for:
// - an integer takes a JSON number with an integral value inside the asked width (2.0 is 2;
//   "2", 1.5 and 2^63 are not 64-bit integers);
// - a floating-point number takes any finite JSON number, integer or not;
// - a Boolean takes only true and false; a text only a string; an identifier only UUID text.
// Keys are found by name in any order; keys nobody asks for are ignored.
class JsonReader {
 public:
  // Deeper documents are refused before parsing: no message of the protocols nests beyond a
  // handful of levels, and the bound keeps hostile input from exhausting the stack of any
  // recursive walk over the tree.
  static constexpr size_t kMaxDepth = 64;

  // The reader of a text that is exactly one JSON object (valid UTF-8); absent otherwise.
  static std::optional<JsonReader> parse(std::string_view text);
  // How many texts parse() has been given in this process: dispatchers that offer one text to
  // several readers must parse it once, and tests hold them to it.
  static uint64_t parsedTexts();

  std::optional<std::string> string(std::string_view key) const;
  std::optional<int64_t> int64(std::string_view key) const;
  std::optional<int32_t> int32(std::string_view key) const;
  std::optional<double> number(std::string_view key) const;
  std::optional<bool> boolean(std::string_view key) const;
  std::optional<Uuid> uuid(std::string_view key) const;
  std::optional<JsonReader> object(std::string_view key) const;
  // Arrays whose every element is of the kind asked for; one bad element refuses the whole.
  std::optional<std::vector<std::string>> strings(std::string_view key) const;
  std::optional<std::vector<JsonReader>> objects(std::string_view key) const;

  // Optional fields: an absent or null key gives an empty inner value; a present value of the
  // wrong kind gives no outer value (the record is unreadable).
  std::optional<std::optional<std::string>> optionalString(std::string_view key) const;
  std::optional<std::optional<int64_t>> optionalInt64(std::string_view key) const;

 private:
  JsonReader(std::shared_ptr<const nlohmann::json> document, const nlohmann::json* object);
  // The value under the key, or null when the key is absent or holds null.
  const nlohmann::json* find(std::string_view key) const;

  std::shared_ptr<const nlohmann::json> document_;  // keeps `object_` alive
  const nlohmann::json* object_;
};

}  // namespace ombrelia::platform
