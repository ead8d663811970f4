#include "playlist/manager/PlaylistManager.hpp"

#include <cstddef>
#include <mutex>

#include "platform/DispatchQueue.hpp"
#include "platform/OnceCompletion.hpp"

namespace ombrelia {

namespace {

using Operations = std::vector<std::shared_ptr<PlaylistOperation>>;
using BatchResult = PlaylistManager::Result<std::vector<MediaPlaylist>>;

// The cells one batch call shares between its items' completions, which run on several workers
// at once, and the call itself, which appends while earlier items may already be finishing.
struct Batch {
  std::mutex mutex; // guards everything below
  Operations operations;
  std::vector<MediaPlaylist> playlists;
  // An item failed; its error, when it came with one, is in lastError.
  bool failed = false;
  std::optional<AnyError> lastError;
  bool cancelled = false;
  // Items not yet finished, plus one held by the call until every item is queued, so the batch
  // cannot end while it is still being set up.
  size_t pending = 1;
  PlaylistManager::CompletionHandler<std::vector<MediaPlaylist>> completionHandler;

  // Ends one item (or the set-up); the last one hands the combined result to the main queue.
  void leave(std::unique_lock<std::mutex> lock) {
    if (--pending > 0)
      return;
    BatchResult result = failed      ? BatchResult::failure(std::move(lastError))
                         : cancelled ? BatchResult::cancelled()
                                     : BatchResult::success(std::move(playlists));
    auto handler = std::move(completionHandler);
    lock.unlock();
    if (!handler)
      return;
    platform::DispatchQueue::main()->async(
        [handler = std::move(handler), result = std::move(result)] { handler(result); });
  }
};

} // namespace

std::string localizedDescription(PlaylistManager::Error error) {
  switch (error) {
  case PlaylistManager::Error::emptyResult:
    return "Operation result returned empty";
  case PlaylistManager::Error::invalidType:
    return "Invalid type was provided for playlist result handling";
  }
  return {};
}

PlaylistManager::PlaylistManager() : operationsQueue_(platform::OperationQueue::create()) {}

void PlaylistManager::enqueue(const PlaylistOperationData& data,
                              const OperationHandler& operationHandler, Finish finish) {
  auto operation = std::make_shared<PlaylistOperation>(data.params, data.extraParams);
  // Answered exactly once: an operation dropped without finishing (one the caller started or
  // queued elsewhere and then let go) ends as cancelled.
  auto once = platform::OnceCompletion<const PlaylistOperation*>::wrap(std::move(finish), nullptr);
  std::weak_ptr<PlaylistOperation> weakOperation = operation;
  operation->setCompletionBlock([weakOperation, once] {
    auto finished = weakOperation.lock();
    once(finished.get());
  });
  if (operationHandler)
    operationHandler(operation);
  operationsQueue_->addOperation(std::move(operation));
}

void PlaylistManager::fetchAndParseMediaPlaylists(
    const std::vector<PlaylistOperationData>& from, const OperationsHandler& operationsHandler,
    CompletionHandler<std::vector<MediaPlaylist>> completionHandler) {
  auto batch = std::make_shared<Batch>();
  batch->completionHandler = std::move(completionHandler);
  std::weak_ptr<platform::OperationQueue> weakQueue = operationsQueue_;

  for (const auto& data : from) {
    {
      std::lock_guard lock(batch->mutex);
      ++batch->pending;
    }
    auto appendOperation = [batch](const std::shared_ptr<PlaylistOperation>& operation) {
      std::lock_guard lock(batch->mutex);
      batch->operations.push_back(operation);
      // An item that failed before this one was queued has already cancelled the others.
      if (batch->failed)
        operation->cancel();
    };
    auto itemFinished = [batch, weakQueue](const Result<MediaPlaylist>& result) {
      std::unique_lock lock(batch->mutex);
      if (const auto* playlist = result.value()) {
        batch->playlists.push_back(*playlist);
      } else if (result.isFailure()) {
        batch->failed = true;
        // A failure without an error must not erase the error of an earlier one.
        if (auto error = result.error())
          batch->lastError = std::move(error);
        auto queue = weakQueue.lock();
        if (queue && queue->operationCount() > 0) {
          for (const auto& operation : batch->operations) {
            if (!operation->isFinished())
              operation->cancel();
          }
        }
      } else {
        batch->cancelled = true;
      }
      batch->leave(std::move(lock));
    };
    fetchAndParsePlaylist<MediaPlaylist>(data, appendOperation, itemFinished);
  }

  Operations operations;
  {
    std::lock_guard lock(batch->mutex);
    operations = batch->operations;
  }
  if (operationsHandler)
    operationsHandler(operations);
  batch->leave(std::unique_lock(batch->mutex));
}

void PlaylistManager::cancel() {
  if (operationsQueue_->operationCount() > 0)
    operationsQueue_->cancelAllOperations();
}

std::optional<Url> PlaylistManager::createUrl(std::string_view from, const Url& baseUrl) {
  auto reference = Url::parse(from);
  if (!reference)
    return std::nullopt;
  if (reference->isAbsolute())
    return reference;
  return baseUrl.resolving(*reference);
}

} // namespace ombrelia
