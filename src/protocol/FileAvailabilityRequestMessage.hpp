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

// "fileAvailability": asks a peer whether it holds a segment and the ones after it.
class FileAvailabilityRequestMessage {
 public:
  static constexpr std::string_view typeString = "fileAvailability";

  FileAvailabilityRequestMessage(std::string type, Uuid requestID, std::string mediaType,
                                 int64_t quality, int64_t segmentNumber, std::string videoID,
                                 double r);

  // The fields of a JSON object; absent when one breaks the rules. "type" is read as any text.
  static std::optional<FileAvailabilityRequestMessage> decode(const platform::JsonReader& object);
  // "type" first, then the fields in declaration order, "requestID" last in lower case.
  platform::JsonWriteResult encode() const;

  const std::string& type() const { return type_; }
  const Uuid& requestID() const { return requestID_; }
  const std::string& mediaType() const { return mediaType_; }
  int64_t quality() const { return quality_; }
  int64_t segmentNumber() const { return segmentNumber_; }
  const std::string& videoID() const { return videoID_; }
  double r() const { return r_; }

  friend bool operator==(const FileAvailabilityRequestMessage&,
                         const FileAvailabilityRequestMessage&) = default;

 private:
  std::string type_;
  Uuid requestID_;
  std::string mediaType_;
  int64_t quality_;
  int64_t segmentNumber_;
  std::string videoID_;
  double r_;
};

}  // namespace ombrelia
