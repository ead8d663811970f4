#pragma once
// Any thread: operations are added, listed and cancelled from anywhere; each runs on a worker
// of the global dispatch queue.

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Operation.hpp"

namespace ombrelia::platform {

// Runs the operations added to it, all at once (no limit on concurrent operations), each on a
// worker of the global queue, which grows while its workers block on a fetch. An operation
// stays listed until it has finished and its completion block has run.
class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
public:
  [[nodiscard]] static std::shared_ptr<OperationQueue> create();

  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  // An operation that is not ready (already started, or in another queue) is not added.
  void addOperation(std::shared_ptr<Operation> operation);
  // Cancelled operations stay listed until their worker has finished them.
  void cancelAllOperations();

  std::vector<std::shared_ptr<Operation>> operations() const;
  size_t operationCount() const;

private:
  OperationQueue() = default;
  void remove(const Operation* operation);

  mutable std::mutex mutex_; // guards operations_
  std::vector<std::shared_ptr<Operation>> operations_;
};

} // namespace ombrelia::platform
