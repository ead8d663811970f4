#include "protocol/FileRequestMessage.hpp"

#include <utility>

#include <nlohmann/json.hpp>

namespace ombrelia {

FileRequestMessage::FileRequestMessage(std::string type, Uuid requestID, std::string videoID,
                                       int64_t segmentNumber, int64_t quality,
                                       std::string mediaType)
    : type_(std::move(type)),
      requestID_(std::move(requestID)),
      videoID_(std::move(videoID)),
      segmentNumber_(segmentNumber),
      quality_(quality),
      mediaType_(std::move(mediaType)) {}

std::optional<FileRequestMessage> FileRequestMessage::decode(const platform::JsonReader& object) {
  auto type = object.string("type");
  auto requestID = object.uuid("requestID");
  auto videoID = object.string("videoID");
  auto segmentNumber = object.int64("segmentNumber");
  auto quality = object.int64("quality");
  auto mediaType = object.string("mediaType");
  if (!type || !requestID || !videoID || !segmentNumber || !quality || !mediaType) {
    return std::nullopt;
  }
  return FileRequestMessage(std::move(*type), std::move(*requestID), std::move(*videoID),
                            *segmentNumber, *quality, std::move(*mediaType));
}

platform::JsonWriteResult FileRequestMessage::encode() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["type"] = type_;
  object["videoID"] = videoID_;
  object["segmentNumber"] = segmentNumber_;
  object["quality"] = quality_;
  object["mediaType"] = mediaType_;
  object["requestID"] = requestID_.lowercaseString();
  return platform::JsonWriter::write(object);
}

}  // namespace ombrelia
