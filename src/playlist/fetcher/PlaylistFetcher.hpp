#pragma once
// Any thread: the blocking form holds its caller; the asynchronous form's handler runs on the
// implementation's own callback queue.

#include <functional>
#include <string>

#include <ombrelia/Url.hpp>

#include "playlist/fetcher/Result.hpp"

namespace ombrelia {

// Downloads the text of one playlist. An interface, so that a caller can hand a playlist
// operation a fetcher of its own.
class PlaylistFetcher {
public:
  using CompletionHandler = std::function<void(Result<std::string>)>;

  virtual ~PlaylistFetcher() = default;

  // Blocks for at most `timeoutInterval` seconds, which bound both the request and the wait.
  virtual Result<std::string> fetchPlaylist(const Url& from, double timeoutInterval) = 0;
  // Returns at once; `completionHandler` is called exactly once with the outcome.
  virtual void fetchPlaylist(const Url& from, double timeoutInterval,
                             CompletionHandler completionHandler) = 0;
};

} // namespace ombrelia
