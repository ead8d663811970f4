#pragma once
// Any thread: fetches run on the operations' workers, read-outs from the test thread.

#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "playlist/fetcher/PlaylistFetcher.hpp"
#include "playlist/fetcher/PlaylistFetcherError.hpp"
#include "support/Latch.hpp"

namespace ombrelia::test {

// A playlist fetcher that gives a scripted answer, after a gate opens when it has one, and
// records the time-outs it was asked for.
class ScriptedPlaylistFetcher : public PlaylistFetcher {
public:
  explicit ScriptedPlaylistFetcher(Result<std::string> answer, Latch* gate = nullptr)
      : answer_(std::move(answer)), gate_(gate) {}

  Result<std::string> fetchPlaylist(const Url&, double timeoutInterval) override {
    {
      std::lock_guard lock(mutex_);
      timeoutIntervals_.push_back(timeoutInterval);
    }
    if (gate_ && !gate_->waitFor(1))
      return Result<std::string>::failure(PlaylistFetcherError::timeout());
    return answer_;
  }
  void fetchPlaylist(const Url& from, double timeoutInterval,
                     CompletionHandler completionHandler) override {
    completionHandler(fetchPlaylist(from, timeoutInterval));
  }

  std::vector<double> timeoutIntervals() const {
    std::lock_guard lock(mutex_);
    return timeoutIntervals_;
  }

private:
  const Result<std::string> answer_;
  Latch* gate_;
  mutable std::mutex mutex_;
  std::vector<double> timeoutIntervals_;
};

} // namespace ombrelia::test
