#pragma once
// Any thread: a reader over one JSON object owned by the caller, used by one thread at a time.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace ombrelia {

// Reads the members of one analytics record strictly and without throwing: every key asked for
// must be present with a value of the asked kind, else the reader fails as a whole. Keys nobody
// asks for are ignored.
class RecordReader {
 public:
  explicit RecordReader(const nlohmann::ordered_json& object);

  // False once any read failed, or when the value read is not an object.
  bool ok() const { return ok_; }

  // A JSON integer inside the signed 64-bit range.
  void read(std::string_view key, int64_t& out);
  // Any finite JSON number.
  void read(std::string_view key, double& out);
  void read(std::string_view key, std::string& out);
  void read(std::string_view key, std::vector<std::string>& out);
  // An object whose member names are decimal integers and whose values are integers.
  void read(std::string_view key, std::map<int64_t, int64_t>& out);
  // The nested object under `key`, or none (and failure) when it is missing or not an object.
  const nlohmann::ordered_json* object(std::string_view key);
  // The nested record under `key`, read by its own fromJSON().
  template <typename Record>
  void readRecord(std::string_view key, Record& out) {
    const auto* value = object(key);
    if (value == nullptr) return;
    auto record = Record::fromJSON(*value);
    if (!record) {
      ok_ = false;
      return;
    }
    out = std::move(*record);
  }

 private:
  const nlohmann::ordered_json* find(std::string_view key);

  const nlohmann::ordered_json& object_;
  bool ok_;
};

}  // namespace ombrelia
