#pragma once
// Any thread: an immutable value.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/JsonReader.hpp"
#include "platform/JsonWriter.hpp"
#include "platform/Uuid.hpp"

namespace ombrelia {

// "fileRequestStop": the downloader cancels a request.
class FileRequestStopMessage {
 public:
  static constexpr std::string_view typeString = "fileRequestStop";

  FileRequestStopMessage(std::string type, Uuid requestID);

  // The fields of a JSON object; absent when one breaks the rules. "type" is read as any text.
  static std::optional<FileRequestStopMessage> decode(const platform::JsonReader& object);
  // "type" first, then the fields in declaration order, "requestID" last in lower case.
  platform::JsonWriteResult encode() const;

  const std::string& type() const { return type_; }
  const Uuid& requestID() const { return requestID_; }

  friend bool operator==(const FileRequestStopMessage&, const FileRequestStopMessage&) = default;

 private:
  std::string type_;
  Uuid requestID_;
};

}  // namespace ombrelia
