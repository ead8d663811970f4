#pragma once
// The engine's threads record; the test thread waits and reads.

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <ombrelia/Data.hpp>

#include "p2p/PeerMessagesController.hpp"
#include "protocol/PeerType.hpp"
#include "support/WaitScale.hpp"
#include "support/Waiter.hpp"

namespace ombrelia::test {

// The answers a peer engine gave to the segment requests of a test, in the order they came,
// and the waiter that wakes the test when one comes. A base of the peer-engine fixtures.
class EngineAnswers {
 public:
  using Result =
      std::tuple<std::optional<Data>, std::optional<std::string>, std::optional<PeerType>>;
  static constexpr auto kBound = std::chrono::seconds(5);

  // True once `predicate` holds (checked under the waiter's lock), false after kBound (scaled).
  template <typename Predicate>
  bool eventually(Predicate predicate) {
    return waiter->waitFor(scaledWait(kBound), predicate);
  }

  // A completion that records its answer in `results`.
  PeerMessagesController::FileCompletion recorder() {
    return [waiter = waiter, results = &results](std::optional<Data> data,
                                                 std::optional<std::string> type,
                                                 std::optional<PeerType> peerType) {
      {
        std::lock_guard lock(waiter->mutex());
        results->emplace_back(std::move(data), std::move(type), peerType);
      }
      waiter->notify();
    };
  }
  size_t resultCount() {
    std::lock_guard lock(waiter->mutex());
    return results.size();
  }
  std::optional<Data> bytesOf(size_t index) {
    std::lock_guard lock(waiter->mutex());
    return std::get<0>(results.at(index));
  }

  std::shared_ptr<Waiter> waiter = std::make_shared<Waiter>();
  std::vector<Result> results;  // guarded by waiter->mutex()
};

}  // namespace ombrelia::test
