#pragma once
// One thread at a time: the downloads touch it only under their request-list lock.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

namespace ombrelia {

// Puts one segment back together from frames that may come in any order, overlap or repeat.
// It records exactly which byte ranges arrived, counts each byte once, and is complete only
// when every byte of the announced size is covered: a segment with a hole is never handed on.
class SegmentReassembly {
 public:
  enum class Result {
    added,     // the frame brought at least one new byte
    repeated,  // every byte of the frame had already arrived
    rejected,  // the frame does not fit the announced size, or the ranges would grow past bound
  };

  // Apart ranges kept at most. Frames of an honest upload arrive in order and merge into one
  // range; this only stops a peer that sends one byte at every other offset from growing the
  // range map to millions of entries. Past it the transfer is given up.
  static constexpr size_t kMaxRanges = 1024;

  // The buffer is not allocated before the first frame that fits.
  explicit SegmentReassembly(uint64_t size) : size_(size) {}

  Result add(uint64_t offset, std::string_view payload);
  uint64_t size() const { return size_; }
  uint64_t receivedBytes() const { return received_; }
  size_t rangeCount() const { return ranges_.size(); }
  bool started() const { return !bytes_.empty() || size_ == 0; }
  bool complete() const { return received_ == size_; }
  // The bytes once complete; the reassembly is empty afterwards.
  std::vector<uint8_t> take();

 private:
  uint64_t size_;
  uint64_t received_ = 0;
  std::vector<uint8_t> bytes_;
  // Start -> end (exclusive) of each received range; ranges neither overlap nor touch.
  std::map<uint64_t, uint64_t> ranges_;
};

}  // namespace ombrelia
