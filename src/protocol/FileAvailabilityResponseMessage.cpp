#include "protocol/FileAvailabilityResponseMessage.hpp"

#include <utility>

#include <nlohmann/json.hpp>

namespace ombrelia {

FileAvailabilityResponseMessage::FileAvailabilityResponseMessage(std::string type, Uuid requestID,
                                                                 SegmentReady sr, int64_t qa,
                                                                 int64_t pos, int64_t st,
                                                                 int64_t ste, double buf, double r)
    : type_(std::move(type)),
      requestID_(std::move(requestID)),
      sr_(sr),
      qa_(qa),
      pos_(pos),
      st_(st),
      ste_(ste),
      buf_(buf),
      r_(r) {}

std::optional<FileAvailabilityResponseMessage> FileAvailabilityResponseMessage::decode(
    const platform::JsonReader& object) {
  auto type = object.string("type");
  auto requestID = object.uuid("requestID");
  auto srRaw = object.int64("sr");
  auto sr = srRaw ? makeSegmentReady(*srRaw) : std::nullopt;
  auto qa = object.int64("qa");
  auto pos = object.int64("pos");
  auto st = object.int64("st");
  auto ste = object.int64("ste");
  auto buf = object.number("buf");
  auto r = object.number("r");
  if (!type || !requestID || !sr || !qa || !pos || !st || !ste || !buf || !r) return std::nullopt;
  return FileAvailabilityResponseMessage(std::move(*type), std::move(*requestID), *sr, *qa, *pos,
                                         *st, *ste, *buf, *r);
}

platform::JsonWriteResult FileAvailabilityResponseMessage::encode() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["type"] = type_;
  object["sr"] = rawValue(sr_);
  object["qa"] = qa_;
  object["pos"] = pos_;
  object["st"] = st_;
  object["ste"] = ste_;
  object["buf"] = buf_;
  object["r"] = r_;
  object["requestID"] = requestID_.lowercaseString();
  return platform::JsonWriter::write(object);
}

}  // namespace ombrelia
