#pragma once
// Any thread: immutable once built, so copies may be read from many threads at once.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <ombrelia/Export.hpp>

namespace ombrelia {

// An immutable, shared byte buffer. Copies and slices share the bytes: a segment fetched once
// serves the player, the segment store and the chunk frames for peers without another copy.
class OMBRELIA_API Data {
 public:
  Data() = default;
  explicit Data(std::string bytes);
  explicit Data(std::vector<uint8_t> bytes);
  Data(const void* bytes, size_t size);

  const uint8_t* bytes() const { return size_ == 0 ? nullptr : base_ + offset_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // The bytes [offset, offset + length), clamped to the buffer; shares the storage.
  Data slice(size_t offset, size_t length) const;
  std::string_view view() const;
  std::string toString() const { return std::string(view()); }

  friend bool operator==(const Data& a, const Data& b) { return a.view() == b.view(); }

 private:
  // The library's way to the buffer under a Data: it counts bytes that an owner let go of
  // while another copy still holds them.
  friend class DataBuffer;
  std::shared_ptr<const std::string> storage_;
  const uint8_t* base_ = nullptr;
  size_t offset_ = 0;
  size_t size_ = 0;
};

}  // namespace ombrelia
