#pragma once
// Any thread: an immutable value; its bytes are shared, never copied.

#include <string>

#include <ombrelia/Data.hpp>
#include <ombrelia/SegmentInfo.hpp>
#include <ombrelia/Url.hpp>

namespace ombrelia {

// One stored segment: where it came from, its bytes and content type, its identity and the
// video it belongs to.
class SegmentData {
 public:
  SegmentData(Url url, Data data, std::string contentType, SegmentInfo segmentInfo,
              std::string videoID)
      : url_(std::move(url)),
        data_(std::move(data)),
        contentType_(std::move(contentType)),
        segmentInfo_(std::move(segmentInfo)),
        videoID_(std::move(videoID)) {}

  const Url& url() const { return url_; }
  const Data& data() const { return data_; }
  const std::string& contentType() const { return contentType_; }
  const SegmentInfo& segmentInfo() const { return segmentInfo_; }
  const std::string& videoID() const { return videoID_; }

 private:
  Url url_;
  Data data_;
  std::string contentType_;
  SegmentInfo segmentInfo_;
  std::string videoID_;
};

}  // namespace ombrelia
