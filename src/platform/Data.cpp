#include <ombrelia/Data.hpp>

#include <algorithm>

#include "platform/DataBuffer.hpp"

namespace ombrelia {

Data::Data(std::string bytes)
    : storage_(DataBuffer::make(std::move(bytes))),
      base_(reinterpret_cast<const uint8_t*>(storage_->data())),
      size_(storage_->size()) {}

Data::Data(std::vector<uint8_t> bytes)
    : Data(std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size())) {}

Data::Data(const void* bytes, size_t size)
    : Data(size == 0 ? std::string() : std::string(static_cast<const char*>(bytes), size)) {}

Data Data::slice(size_t offset, size_t length) const {
  Data result;
  if (offset >= size_) return result;
  result.storage_ = storage_;
  result.base_ = base_;
  result.offset_ = offset_ + offset;
  result.size_ = std::min(length, size_ - offset);
  return result;
}

std::string_view Data::view() const {
  if (size_ == 0) return {};
  return {reinterpret_cast<const char*>(base_ + offset_), size_};
}

}  // namespace ombrelia
