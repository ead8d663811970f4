#pragma once

#include <ombrelia/Data.hpp>
#include <ombrelia/Export.hpp>
#include <ombrelia/Url.hpp>

namespace ombrelia {

// A URL with its bytes.
class OMBRELIA_API SegmentMedia {
 public:
  SegmentMedia(Url url, Data data) : url_(std::move(url)), data_(std::move(data)) {}
  const Url& url() const { return url_; }
  const Data& data() const { return data_; }

 private:
  Url url_;
  Data data_;
};

}  // namespace ombrelia
