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

// "fileRequestEnd": the downloader reports that a request's segment arrived whole.
class FileRequestEndMessage {
 public:
  static constexpr std::string_view typeString = "fileRequestEnd";

  FileRequestEndMessage(std::string type, Uuid requestID);

  // The fields of a JSON object; absent when one breaks the rules. "type" is read as any text.
  static std::optional<FileRequestEndMessage> decode(const platform::JsonReader& object);
  // "type" first, then the fields in declaration order, "requestID" last in lower case.
  platform::JsonWriteResult encode() const;

  const std::string& type() const { return type_; }
  const Uuid& requestID() const { return requestID_; }

  friend bool operator==(const FileRequestEndMessage&, const FileRequestEndMessage&) = default;

 private:
  std::string type_;
  Uuid requestID_;
};

}  // namespace ombrelia
