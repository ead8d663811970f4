#include "playlist/fetcher/DefaultPlaylistFetcher.hpp"

#include <atomic>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <ombrelia/OmbreliaLogger.hpp>

#include "platform/HttpClient.hpp"
#include "platform/HttpTask.hpp"
#include "platform/Semaphore.hpp"
#include "platform/url/Utf8.hpp"
#include "playlist/fetcher/PlaylistFetcherError.hpp"

namespace ombrelia {

namespace {

using platform::HttpError;
using platform::HttpResult;

// The smallest request time-out: libcurl reads zero as "no time-out at all".
constexpr std::chrono::milliseconds kMinTimeout{1};

std::chrono::milliseconds timeoutOf(double timeoutInterval) {
  if (std::isnan(timeoutInterval) || timeoutInterval <= 0) return kMinTimeout;
  const double seconds = std::min(timeoutInterval, DefaultPlaylistFetcher::kMaxTimeoutInterval);
  return std::max(kMinTimeout,
                  std::chrono::milliseconds(static_cast<int64_t>(std::ceil(seconds * 1000))));
}

enum class Form { blocking, asynchronous };

// How a completion is handed on: the text, or the error, which the blocking form wraps when it
// is the transfer's own.
struct Outcome {
  std::optional<std::string> text;
  std::optional<AnyError> error;
};

Outcome classify(const HttpResult& result, Form form) {
  if (const HttpError* error = result.errorIf()) {
    // Through the logger, as every other line: an embedder that silenced it gets none, and the
    // transfer's text, an origin's choice in part, is escaped.
    OmbreliaLogger::error("There was an error with your request: " + error->message + " (" +
                              std::to_string(error->code()) + ")",
                          OLogModule::playlistFetcher);
    if (form == Form::blocking) return {std::nullopt, PlaylistFetcherError::error(*error)};
    return {std::nullopt, AnyError(*error)};
  }
  const auto& response = result.value();
  // Every answer of an HTTP client carries a status; a zero one is no HTTP response.
  const int64_t status = response.statusCode > 0 ? response.statusCode : -1;
  if (status < 200 || status > 299) {
    OmbreliaLogger::error("Your request returned a status code other than 2xx!",
                          OLogModule::playlistFetcher);
    return {std::nullopt, PlaylistFetcherError::statusCode(status)};
  }
  // The client always hands over a body, empty when the answer had none, so there is no
  // "no data" outcome here: an empty 2xx answer is the empty text.
  std::string text = response.body.toString();
  if (!Utf8::isValid(text)) {
    if (form == Form::asynchronous)
      OmbreliaLogger::error("Invalid data, failed to convert data to String with utf8 encoding",
                            OLogModule::playlistFetcher);
    return {std::nullopt, PlaylistFetcherError::invalidData()};
  }
  return {std::move(text), std::nullopt};
}

platform::HttpRequest requestFor(const Url& url, std::chrono::milliseconds timeout) {
  platform::HttpRequest request;
  request.url = url;
  request.timeout = timeout;
  return request;
}

// What a blocking fetch and its transfer's completion share. It lives as long as either side
// holds it: a completion that arrives after the caller gave up writes here, not into the
// caller's stack.
struct BlockingFetch {
  platform::Semaphore done;
  // Written by the completion before it signals, read by the caller only after taking the signal.
  Outcome outcome;
  // Set when the caller stopped waiting: the late completion then stays silent.
  std::atomic<bool> abandoned{false};
};

}  // namespace

Result<std::string> DefaultPlaylistFetcher::fetchPlaylist(const Url& from, double timeoutInterval) {
  const auto timeout = timeoutOf(timeoutInterval);
  const auto deadline = platform::Semaphore::Clock::now() + timeout;
  auto fetch = std::make_shared<BlockingFetch>();
  auto task = platform::HttpClient::shared()->dataTask(
      requestFor(from, timeout + kDeadlineMargin), [fetch](const HttpResult& result) {
        if (fetch->abandoned.load()) return;
        fetch->outcome = classify(result, Form::blocking);
        fetch->done.signal();
      });
  if (!fetch->done.waitUntil(deadline)) {
    fetch->abandoned.store(true);
    task->cancel();
    return Result<std::string>::failure(PlaylistFetcherError::timeout());
  }
  if (fetch->outcome.text) return Result<std::string>::success(std::move(*fetch->outcome.text));
  if (fetch->outcome.error) return Result<std::string>::failure(std::move(fetch->outcome.error));
  return Result<std::string>::failure(PlaylistFetcherError::invalidData());
}

void DefaultPlaylistFetcher::fetchPlaylist(const Url& from, double timeoutInterval,
                                           CompletionHandler completionHandler) {
  platform::HttpClient::shared()->dataTask(
      requestFor(from, timeoutOf(timeoutInterval)),
      [completionHandler = std::move(completionHandler)](const HttpResult& result) {
        Outcome outcome = classify(result, Form::asynchronous);
        if (!completionHandler) return;
        if (outcome.text)
          completionHandler(Result<std::string>::success(std::move(*outcome.text)));
        else
          completionHandler(Result<std::string>::failure(std::move(outcome.error)));
      });
}

}  // namespace ombrelia
