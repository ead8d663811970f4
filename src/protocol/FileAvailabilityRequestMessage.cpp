#include "protocol/FileAvailabilityRequestMessage.hpp"

#include <utility>

#include <nlohmann/json.hpp>

namespace ombrelia {

FileAvailabilityRequestMessage::FileAvailabilityRequestMessage(std::string type, Uuid requestID,
                                                               std::string mediaType,
                                                               int64_t quality,
                                                               int64_t segmentNumber,
                                                               std::string videoID, double r)
    : type_(std::move(type)),
      requestID_(std::move(requestID)),
      mediaType_(std::move(mediaType)),
      quality_(quality),
      segmentNumber_(segmentNumber),
      videoID_(std::move(videoID)),
      r_(r) {}

std::optional<FileAvailabilityRequestMessage> FileAvailabilityRequestMessage::decode(
    const platform::JsonReader& object) {
  auto type = object.string("type");
  auto requestID = object.uuid("requestID");
  auto mediaType = object.string("mediaType");
  auto quality = object.int64("quality");
  auto segmentNumber = object.int64("segmentNumber");
  auto videoID = object.string("videoID");
  auto r = object.number("r");
  if (!type || !requestID || !mediaType || !quality || !segmentNumber || !videoID || !r) {
    return std::nullopt;
  }
  return FileAvailabilityRequestMessage(std::move(*type), std::move(*requestID),
                                        std::move(*mediaType), *quality, *segmentNumber,
                                        std::move(*videoID), *r);
}

platform::JsonWriteResult FileAvailabilityRequestMessage::encode() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["type"] = type_;
  object["mediaType"] = mediaType_;
  object["quality"] = quality_;
  object["segmentNumber"] = segmentNumber_;
  object["videoID"] = videoID_;
  object["r"] = r_;
  object["requestID"] = requestID_.lowercaseString();
  return platform::JsonWriter::write(object);
}

}  // namespace ombrelia
