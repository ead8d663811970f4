#pragma once
// Any thread: an immutable value.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/JsonReader.hpp"
#include "platform/JsonWriter.hpp"
#include "platform/Uuid.hpp"
#include "protocol/SegmentReady.hpp"

namespace ombrelia {

// "fileAvailabilityResponse": what the answering peer holds of the asked segment and those after
// it.
class FileAvailabilityResponseMessage {
 public:
  static constexpr std::string_view typeString = "fileAvailabilityResponse";

  FileAvailabilityResponseMessage(std::string type, Uuid requestID, SegmentReady sr, int64_t qa,
                                  int64_t pos, int64_t st, int64_t ste, double buf, double r);

  // The fields of a JSON object; absent when one breaks the rules. "type" is read as any text.
  static std::optional<FileAvailabilityResponseMessage> decode(const platform::JsonReader& object);
  // "type" first, then the fields in declaration order, "requestID" last in lower case.
  platform::JsonWriteResult encode() const;

  const std::string& type() const { return type_; }
  const Uuid& requestID() const { return requestID_; }
  SegmentReady sr() const { return sr_; }
  int64_t qa() const { return qa_; }
  int64_t pos() const { return pos_; }
  int64_t st() const { return st_; }
  int64_t ste() const { return ste_; }
  double buf() const { return buf_; }
  double r() const { return r_; }

  friend bool operator==(const FileAvailabilityResponseMessage&,
                         const FileAvailabilityResponseMessage&) = default;

 private:
  std::string type_;
  Uuid requestID_;
  SegmentReady sr_;
  int64_t qa_;
  int64_t pos_;
  int64_t st_;
  int64_t ste_;
  double buf_;
  double r_;
};

}  // namespace ombrelia
