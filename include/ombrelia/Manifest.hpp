#pragma once

#include <ombrelia/Data.hpp>
#include <ombrelia/Export.hpp>
#include <ombrelia/Url.hpp>

namespace ombrelia {

// One stored playlist: the URL it was fetched from and its text.
class OMBRELIA_API Manifest {
 public:
  Manifest(Url url, Data data) : url_(std::move(url)), data_(std::move(data)) {}
  const Url& url() const { return url_; }
  const Data& data() const { return data_; }

 private:
  Url url_;
  Data data_;
};

}  // namespace ombrelia
