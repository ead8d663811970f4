#include "protocol/FileRequestResponseMessage.hpp"

#include <utility>

#include <nlohmann/json.hpp>

namespace ombrelia {

FileRequestResponseMessage::FileRequestResponseMessage(
    std::string type, Uuid requestID, bool valid, std::optional<int64_t> byteStart,
    std::optional<int64_t> size, std::optional<int64_t> numberOfChunks,
    std::optional<int64_t> segmentSize, std::optional<int64_t> reason, std::optional<int64_t> after,
    std::optional<int64_t> before)
    : type_(std::move(type)),
      requestID_(std::move(requestID)),
      valid_(valid),
      byteStart_(std::move(byteStart)),
      size_(std::move(size)),
      numberOfChunks_(std::move(numberOfChunks)),
      segmentSize_(std::move(segmentSize)),
      reason_(std::move(reason)),
      after_(std::move(after)),
      before_(std::move(before)) {}

std::optional<FileRequestResponseMessage> FileRequestResponseMessage::decode(
    const platform::JsonReader& object) {
  auto type = object.string("type");
  auto requestID = object.uuid("requestID");
  auto valid = object.boolean("valid");
  auto byteStart = object.optionalInt64("byteStart");
  auto size = object.optionalInt64("size");
  auto numberOfChunks = object.optionalInt64("numberOfChunks");
  auto segmentSize = object.optionalInt64("segmentSize");
  auto reason = object.optionalInt64("reason");
  auto after = object.optionalInt64("after");
  auto before = object.optionalInt64("before");
  if (!type || !requestID || !valid || !byteStart || !size || !numberOfChunks || !segmentSize ||
      !reason || !after || !before) {
    return std::nullopt;
  }
  return FileRequestResponseMessage(std::move(*type), std::move(*requestID), *valid,
                                    std::move(*byteStart), std::move(*size),
                                    std::move(*numberOfChunks), std::move(*segmentSize),
                                    std::move(*reason), std::move(*after), std::move(*before));
}

platform::JsonWriteResult FileRequestResponseMessage::encode() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["type"] = type_;
  object["valid"] = valid_;
  object["byteStart"] =
      byteStart_ ? nlohmann::ordered_json(byteStart_.value()) : nlohmann::ordered_json();
  object["size"] = size_ ? nlohmann::ordered_json(size_.value()) : nlohmann::ordered_json();
  object["numberOfChunks"] =
      numberOfChunks_ ? nlohmann::ordered_json(numberOfChunks_.value()) : nlohmann::ordered_json();
  object["segmentSize"] =
      segmentSize_ ? nlohmann::ordered_json(segmentSize_.value()) : nlohmann::ordered_json();
  object["reason"] = reason_ ? nlohmann::ordered_json(reason_.value()) : nlohmann::ordered_json();
  object["after"] = after_ ? nlohmann::ordered_json(after_.value()) : nlohmann::ordered_json();
  object["before"] = before_ ? nlohmann::ordered_json(before_.value()) : nlohmann::ordered_json();
  object["requestID"] = requestID_.lowercaseString();
  return platform::JsonWriter::write(object);
}

}  // namespace ombrelia
