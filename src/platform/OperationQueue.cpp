#include "platform/OperationQueue.hpp"

#include <algorithm>
#include <utility>

#include "platform/DispatchQueue.hpp"

namespace ombrelia::platform {

std::shared_ptr<OperationQueue> OperationQueue::create() {
  return std::shared_ptr<OperationQueue>(new OperationQueue());
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
  if (!operation || !operation->isReady())
    return;
  {
    std::lock_guard lock(mutex_);
    if (std::find(operations_.begin(), operations_.end(), operation) != operations_.end())
      return;
    operations_.push_back(operation);
  }
  // The worker holds the operation, not the queue: a queue dropped by its owner lets the
  // operations it started run to their completion blocks.
  std::weak_ptr<OperationQueue> weakSelf = weak_from_this();
  DispatchQueue::global()->async([weakSelf, operation = std::move(operation)] {
    operation->start();
    if (auto self = weakSelf.lock())
      self->remove(operation.get());
  });
}

void OperationQueue::cancelAllOperations() {
  for (const auto& operation : operations())
    operation->cancel();
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
  std::lock_guard lock(mutex_);
  return operations_;
}

size_t OperationQueue::operationCount() const {
  std::lock_guard lock(mutex_);
  return operations_.size();
}

void OperationQueue::remove(const Operation* operation) {
  std::lock_guard lock(mutex_);
  std::erase_if(operations_, [operation](const auto& listed) { return listed.get() == operation; });
}

} // namespace ombrelia::platform
