#pragma once
// Any thread: calls and cancel() from anywhere. A single fetch's completion runs on the worker
// that finished its operation; a batch's completion runs on the main queue.

#include <concepts>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <ombrelia/Url.hpp>

#include "platform/Expected.hpp"
#include "platform/OperationQueue.hpp"
#include "playlist/fetcher/AnyError.hpp"
#include "playlist/operation/PlaylistOperation.hpp"
#include "playlist/playlist/MediaPlaylist.hpp"

namespace ombrelia {

// Fetches and parses playlists as queued, cancellable operations and hands each outcome to a
// callback: one playlist of a requested record type, or a batch of media playlists with one
// combined result.
class PlaylistManager {
public:
  struct PlaylistOperationData {
    PlaylistOperation::Params params;
    std::optional<PlaylistOperation::ExtraParams> extraParams;
  };

  // `success`, `failure` with an optional error, or `cancelled`: the library's one result type
  // with a mark for the failure that is a cancellation.
  template <typename T> class Result {
  public:
    static Result success(T value) { return Result(std::move(value), false); }
    static Result failure(std::optional<AnyError> error) { return Result(std::move(error), false); }
    static Result cancelled() { return Result(std::optional<AnyError>(), true); }

    bool isSuccess() const { return outcome_.hasValue(); }
    bool isFailure() const { return !outcome_.hasValue() && !cancelled_; }
    bool isCancelled() const { return cancelled_; }
    // Null unless a success.
    const T* value() const { return outcome_.valueIf(); }
    // Absent unless a failure that came with an error.
    std::optional<AnyError> error() const {
      if (isFailure())
        return outcome_.error();
      return std::nullopt;
    }

  private:
    // Built in place: a moved-from temporary result trips GCC's uninitialised-use warning.
    template <typename V>
    Result(V&& outcome, bool cancelled)
        : outcome_(std::forward<V>(outcome)), cancelled_(cancelled) {}

    Expected<T, std::optional<AnyError>> outcome_;
    bool cancelled_;
  };

  // The manager's own failures; their descriptions are shown to integrators as they are.
  enum class Error { emptyResult, invalidType };
  // Declared here, ahead of the templates below that describe these errors.
  friend std::string localizedDescription(Error error);

  using OperationHandler = std::function<void(const std::shared_ptr<PlaylistOperation>&)>;
  using OperationsHandler =
      std::function<void(const std::vector<std::shared_ptr<PlaylistOperation>>&)>;
  template <typename T> using CompletionHandler = std::function<void(Result<T>)>;

  PlaylistManager();
  PlaylistManager(const PlaylistManager&) = delete;
  PlaylistManager& operator=(const PlaylistManager&) = delete;

  // Fetches and parses one playlist, expecting a record of type T (MasterPlaylist or
  // MediaPlaylist). `operationHandler` receives the operation before it is queued, so that the
  // caller may keep it (to cancel it alone); `completionHandler` is called exactly once.
  template <typename T>
  requires std::derived_from<T, Playlist>
  void fetchAndParsePlaylist(const PlaylistOperationData& from,
                             const OperationHandler& operationHandler,
                             CompletionHandler<T> completionHandler) {
    enqueue(from, operationHandler,
            [completionHandler = std::move(completionHandler)](const PlaylistOperation* operation) {
              if (completionHandler)
                completionHandler(resultOf<T>(operation));
            });
  }

  // Fetches and parses media playlists, one per item. `operationsHandler` receives the
  // operations in input order once all are queued; `completionHandler` is called exactly once,
  // on the main queue: the error of the last item that failed (the first failure cancels the
  // others), else cancelled when any item was, else the playlists in the order they finished.
  void fetchAndParseMediaPlaylists(const std::vector<PlaylistOperationData>& from,
                                   const OperationsHandler& operationsHandler,
                                   CompletionHandler<std::vector<MediaPlaylist>> completionHandler);

  // Cancels every operation still queued or running, whichever call made it.
  void cancel();

  // Resolves a playlist URI against the URL of the playlist that lists it, as a URI reference:
  // an absolute URI stands alone, a relative one replaces the base's last path component and
  // may carry its own query. Absent when the text is no URI reference.
  static std::optional<Url> createUrl(std::string_view from, const Url& baseUrl);

private:
  // Called with the operation once it has finished; null when it was dropped unfinished.
  using Finish = std::function<void(const PlaylistOperation*)>;

  void enqueue(const PlaylistOperationData& data, const OperationHandler& operationHandler,
               Finish finish);

  template <typename T> static Result<T> resultOf(const PlaylistOperation* operation) {
    if (!operation || operation->isCancelled())
      return Result<T>::cancelled();
    if (auto error = operation->error())
      return Result<T>::failure(std::move(error));
    const auto result = operation->result();
    if (!result || !result->playlist())
      return Result<T>::failure(Error::emptyResult);
    const auto* playlist = dynamic_cast<const T*>(result->playlist());
    if (!playlist)
      return Result<T>::failure(Error::invalidType);
    return Result<T>::success(*playlist);
  }

  std::shared_ptr<platform::OperationQueue> operationsQueue_;
};

} // namespace ombrelia
