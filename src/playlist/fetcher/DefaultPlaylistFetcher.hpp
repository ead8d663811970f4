#pragma once
// Any thread: stateless, so one instance serves any number of concurrent fetches; completions
// run on the shared HTTP client's delegate queue.

#include <chrono>

#include "playlist/fetcher/PlaylistFetcher.hpp"

namespace ombrelia {

// Fetches playlists with one GET each through the process's shared HTTP client. Besides its
// results it writes a line to standard output for every failure, whatever the log level.
class DefaultPlaylistFetcher final : public PlaylistFetcher {
public:
  // The longest time-out honoured: a larger (or infinite) interval is taken as this one, so
  // that it still converts to a finite request time-out.
  static constexpr double kMaxTimeoutInterval = 24 * 60 * 60;
  // How long a blocking fetch's transfer may outlive the caller's deadline. The transfer's own
  // clock starts a moment later, on the client's thread, so without this margin it could
  // expire first and report its time-out as a transfer error; at the deadline the caller is
  // told it timed out and the transfer is cancelled.
  static constexpr std::chrono::milliseconds kDeadlineMargin{500};

  DefaultPlaylistFetcher() = default;

  Result<std::string> fetchPlaylist(const Url& from, double timeoutInterval) override;
  void fetchPlaylist(const Url& from, double timeoutInterval,
                     CompletionHandler completionHandler) override;
};

} // namespace ombrelia
