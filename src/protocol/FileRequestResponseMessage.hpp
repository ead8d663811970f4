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

// "fileRequestResponse": accepts a segment request and announces the segment frames that follow.
// The optional integers travel as null when they have no value.
class FileRequestResponseMessage {
 public:
  static constexpr std::string_view typeString = "fileRequestResponse";

  FileRequestResponseMessage(std::string type, Uuid requestID, bool valid,
                             std::optional<int64_t> byteStart, std::optional<int64_t> size,
                             std::optional<int64_t> numberOfChunks,
                             std::optional<int64_t> segmentSize, std::optional<int64_t> reason,
                             std::optional<int64_t> after, std::optional<int64_t> before);

  // The fields of a JSON object; absent when one breaks the rules. "type" is read as any text.
  static std::optional<FileRequestResponseMessage> decode(const platform::JsonReader& object);
  // "type" first, then the fields in declaration order, "requestID" last in lower case.
  platform::JsonWriteResult encode() const;

  const std::string& type() const { return type_; }
  const Uuid& requestID() const { return requestID_; }
  bool valid() const { return valid_; }
  std::optional<int64_t> byteStart() const { return byteStart_; }
  std::optional<int64_t> size() const { return size_; }
  std::optional<int64_t> numberOfChunks() const { return numberOfChunks_; }
  std::optional<int64_t> segmentSize() const { return segmentSize_; }
  std::optional<int64_t> reason() const { return reason_; }
  std::optional<int64_t> after() const { return after_; }
  std::optional<int64_t> before() const { return before_; }

  friend bool operator==(const FileRequestResponseMessage&,
                         const FileRequestResponseMessage&) = default;

 private:
  std::string type_;
  Uuid requestID_;
  bool valid_;
  std::optional<int64_t> byteStart_;
  std::optional<int64_t> size_;
  std::optional<int64_t> numberOfChunks_;
  std::optional<int64_t> segmentSize_;
  std::optional<int64_t> reason_;
  std::optional<int64_t> after_;
  std::optional<int64_t> before_;
};

}  // namespace ombrelia
