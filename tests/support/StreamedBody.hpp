#pragma once
// Test thread: reads one body stream, waiting on each piece with a bound.

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "platform/HttpBodyStream.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {

// Reads a streamed body as the proxy's connection does, one piece at a time.
class StreamedBody {
 public:
  // partway: the bytes asked for arrived, and the body goes on.
  enum class Outcome { partway, whole, failed, timedOut };

  explicit StreamedBody(std::shared_ptr<platform::HttpBodyStream> stream)
      : stream_(std::move(stream)) {}

  // Reads until `bytes` have arrived in all, or the body ends; the outcome of the last read.
  Outcome readAtLeast(size_t bytes,
                      std::chrono::milliseconds bound = scaledWait(std::chrono::seconds(20))) {
    while (received_.size() < bytes) {
      auto promise = std::make_shared<std::promise<std::optional<Data>>>();
      auto future = promise->get_future();
      stream_->readNext([promise](std::optional<Data> piece) { promise->set_value(piece); });
      if (future.wait_for(bound) != std::future_status::ready) return Outcome::timedOut;
      const auto piece = future.get();
      if (!piece) return Outcome::failed;
      if (piece->empty()) return Outcome::whole;
      largestPiece_ = std::max(largestPiece_, piece->size());
      ++pieces_;
      received_.append(piece->view());
    }
    return Outcome::partway;
  }
  // Reads to the end.
  Outcome readAll(std::chrono::milliseconds bound = scaledWait(std::chrono::seconds(20))) {
    return readAtLeast(std::string::npos, bound);
  }

  const std::string& received() const { return received_; }
  size_t pieces() const { return pieces_; }
  size_t largestPiece() const { return largestPiece_; }

 private:
  std::shared_ptr<platform::HttpBodyStream> stream_;
  std::string received_;
  size_t pieces_ = 0;
  size_t largestPiece_ = 0;
};

}  // namespace ombrelia::test
