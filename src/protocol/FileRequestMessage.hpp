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

// "fileRequest": asks the subscribed peer for one segment.
class FileRequestMessage {
 public:
  static constexpr std::string_view typeString = "fileRequest";

  FileRequestMessage(std::string type, Uuid requestID, std::string videoID, int64_t segmentNumber,
                     int64_t quality, std::string mediaType);

  // The fields of a JSON object; absent when one breaks the rules. "type" is read as any text.
  static std::optional<FileRequestMessage> decode(const platform::JsonReader& object);
  // "type" first, then the fields in declaration order, "requestID" last in lower case.
  platform::JsonWriteResult encode() const;

  const std::string& type() const { return type_; }
  const Uuid& requestID() const { return requestID_; }
  const std::string& videoID() const { return videoID_; }
  int64_t segmentNumber() const { return segmentNumber_; }
  int64_t quality() const { return quality_; }
  const std::string& mediaType() const { return mediaType_; }

  friend bool operator==(const FileRequestMessage&, const FileRequestMessage&) = default;

 private:
  std::string type_;
  Uuid requestID_;
  std::string videoID_;
  int64_t segmentNumber_;
  int64_t quality_;
  std::string mediaType_;
};

}  // namespace ombrelia
