#include "playlist/operation/PlaylistOperation.hpp"

#include <utility>

#include "playlist/fetcher/DefaultPlaylistFetcher.hpp"

namespace ombrelia {

PlaylistOperation::Params::Params(std::shared_ptr<PlaylistFetcher> fetcher, Url url,
                                  PlaylistType playlistType)
    : fetcher(fetcher ? std::move(fetcher) : std::make_shared<DefaultPlaylistFetcher>()),
      url(std::move(url)), playlistType(playlistType) {}

PlaylistOperation::PlaylistOperation(Params params, std::optional<ExtraParams> extraParams)
    : params_(std::move(params)), extraParams_(std::move(extraParams)) {}

std::optional<AnyError> PlaylistOperation::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

void PlaylistOperation::setError(std::optional<AnyError> error) {
  std::lock_guard lock(mutex_);
  error_ = std::move(error);
}

std::optional<PlaylistParser::ParserResult> PlaylistOperation::result() const {
  std::lock_guard lock(mutex_);
  return result_;
}

void PlaylistOperation::setResult(std::optional<PlaylistParser::ParserResult> result) {
  std::lock_guard lock(mutex_);
  result_ = std::move(result);
}

void PlaylistOperation::main() {
  if (isCancelled())
    return;
  auto fetched = params_.fetcher->fetchPlaylist(params_.url, kFetchTimeoutInterval);
  if (isCancelled())
    return;
  if (!fetched) {
    setError(fetched.error());
    return;
  }

  PlaylistParser parser;
  PlaylistParser::Params parserParams{fetched.value(), params_.playlistType,
                                      params_.url.deletingLastPathComponent()};
  // The parser always gets an extras record, empty when the caller gave none.
  PlaylistParser::ExtraParams parserExtras;
  if (extraParams_ && extraParams_->parser)
    parserExtras = *extraParams_->parser;
  auto parsed = parser.parse(parserParams, &parserExtras);
  if (parsed)
    setResult(std::move(parsed).value());
  else
    setError(AnyError(parsed.error()));
}

} // namespace ombrelia
