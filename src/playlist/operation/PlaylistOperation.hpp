#pragma once
// main() runs on the operation queue's worker; cancel() and the read-outs from any thread.

#include <memory>
#include <mutex>
#include <optional>

#include <ombrelia/Url.hpp>

#include "platform/Operation.hpp"
#include "playlist/fetcher/AnyError.hpp"
#include "playlist/fetcher/PlaylistFetcher.hpp"
#include "playlist/parser/PlaylistParser.hpp"

namespace ombrelia {

// Fetches one playlist's text and parses it into a master or media playlist, leaving the parse
// result or the error on the operation for whoever observes its completion. Cancellation is
// looked at before the fetch and after it: a fetch in progress runs on to its answer or its
// time-out, and the parse is never cancelled.
class PlaylistOperation : public platform::Operation {
public:
  // The time-out of one fetch, in seconds.
  static constexpr double kFetchTimeoutInterval = 15.0;

  struct Params {
    // A null fetcher is replaced by a new DefaultPlaylistFetcher.
    Params(std::shared_ptr<PlaylistFetcher> fetcher, Url url, PlaylistType playlistType);

    std::shared_ptr<PlaylistFetcher> fetcher;
    Url url;
    PlaylistType playlistType;
  };

  struct ExtraParams {
    std::optional<PlaylistParser::ExtraParams> parser;
  };

  PlaylistOperation(Params params, std::optional<ExtraParams> extraParams);

  const Params& params() const { return params_; }
  const std::optional<ExtraParams>& extraParams() const { return extraParams_; }

  std::optional<AnyError> error() const;
  void setError(std::optional<AnyError> error);
  std::optional<PlaylistParser::ParserResult> result() const;
  void setResult(std::optional<PlaylistParser::ParserResult> result);

protected:
  void main() override;

private:
  const Params params_;
  const std::optional<ExtraParams> extraParams_;

  mutable std::mutex mutex_; // guards error_ and result_, read from other threads
  std::optional<AnyError> error_;
  std::optional<PlaylistParser::ParserResult> result_;
};

} // namespace ombrelia
