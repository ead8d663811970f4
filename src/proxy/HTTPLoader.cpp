#include "proxy/HTTPLoader.hpp"

#include <ombrelia/OmbreliaLogger.hpp>

#include <atomic>
#include <chrono>

#include "platform/CurlUrlReading.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/LineSplitter.hpp"
#include "platform/LoggedUrl.hpp"
#include "platform/MonotonicClock.hpp"
#include "platform/url/UrlReference.hpp"
#include "protocol/AnalyticsFeed.hpp"
#include "proxy/OriginCredentials.hpp"
#include "proxy/PlaylistContent.hpp"

namespace ombrelia {
namespace {

// The final URL of a fetch without the user name and password in it; those that came with a
// redirect are kept for their origin, as the application's are. libcurl names it as it read it,
// with the credentials it sent there. Where libcurl and browsers read that text apart ("\" ends
// the authority for browsers, not for libcurl), whatever is taken from it, the host or the
// relative URIs' base, may be made of those credentials: it is dropped, and relative URIs
// resolve against the requested URL.
std::optional<std::string> withoutCredentials(
    const std::string& answered, const std::string& asked, const std::string& requested,
    const std::shared_ptr<OriginCredentials>& credentials) {
  // Not redirected: the URL as we asked for it.
  if (answered == asked) return requested;
  auto url = UrlReference::read(answered);
  const auto curl = platform::CurlUrlReading::of(answered);
  if (!url || !curl || !curl->agreesWith(url.value())) {
    OmbreliaLogger::error("The final URL of " + platform::LoggedUrl::of(requested) +
                              " is not one browsers read as libcurl does; it is dropped with any "
                              "credentials in it, and its URIs resolve against the requested URL",
                          OLogModule::proxy);
    return std::nullopt;
  }
  if (!url->userInfo()) return answered;
  return (credentials ? credentials->keep(url.value(), OriginCredentials::Source::found)
                      : OriginCredentials::withoutUserInfo(url.value()))
      .toString();
}

// What is read as a playlist further on (stored, pinned, rewritten) has its lines bounded before
// any of that: past the bound it is no body, as one past the body limit is.
void dropPlaylistOfTooManyLines(HTTPLoader::Response& response) {
  const size_t lines = LineSplitter::count(response.data->view());
  if (lines <= PlaylistContent::kMaxLines) return;
  OmbreliaLogger::error("Playlist of " + std::to_string(response.data->size()) +
                            " bytes not served: its " + std::to_string(lines) +
                            " lines are more than the " +
                            std::to_string(PlaylistContent::kMaxLines) + " a playlist may have",
                        OLogModule::proxy);
  response.data.reset();
}

}  // namespace

Url HTTPLoader::Response::finalURL(const Url& requested) const {
  if (!url) return requested;
  auto answered = UrlReference::read(*url);
  return answered ? answered.value() : requested;
}

std::shared_ptr<HTTPLoader> HTTPLoader::create(std::shared_ptr<AnalyticsFeed> analyticsService,
                                               std::shared_ptr<platform::HttpClient> urlSession,
                                               std::shared_ptr<OriginCredentials> credentials) {
  return std::shared_ptr<HTTPLoader>(
      new HTTPLoader(std::move(urlSession), std::move(analyticsService), std::move(credentials)));
}

HTTPLoader::HTTPLoader(std::shared_ptr<platform::HttpClient> urlSession,
                       std::shared_ptr<AnalyticsFeed> analyticsService,
                       std::shared_ptr<OriginCredentials> credentials)
    : urlSession_(std::move(urlSession)),
      analyticsService_(std::move(analyticsService)),
      credentials_(std::move(credentials)) {}

void HTTPLoader::requestGeneral(const Url& url, Completion completion,
                                std::optional<std::string> range) {
  load(Kind::general, url, std::move(range), std::move(completion));
}

void HTTPLoader::requestPlaylist(const Url& playlistURL, Completion completion) {
  load(Kind::playlist, playlistURL, std::nullopt, std::move(completion));
}

void HTTPLoader::requestSegment(const Url& segmentURL, Completion completion,
                                std::optional<std::string> range) {
  load(Kind::segment, segmentURL, std::move(range), std::move(completion));
}

void HTTPLoader::requestStreamedSegment(const Url& segmentURL, Completion answer,
                                        Completion finished) {
  // The start runs on the HTTP client's thread, always before the completion.
  auto streamed = std::make_shared<std::atomic<bool>>(false);
  auto started = [streamed, answer](Response head) {
    streamed->store(true);
    answer(std::move(head));
  };
  load(
      Kind::segment, segmentURL, std::nullopt,
      [streamed, answer, finished = std::move(finished)](Response response) {
        if (streamed->load()) {
          finished(std::move(response));
          return;
        }
        finished(response);
        answer(std::move(response));
      },
      std::move(started));
}

void HTTPLoader::load(Kind kind, const Url& url, std::optional<std::string> range,
                      Completion completion, Completion bodyStarted) {
  analyticsService_->newHttpRequest();
  const auto start = platform::MonotonicClock::now();
  platform::HttpRequest request;
  request.url = credentials_ ? credentials_->applied(url) : url;
  std::string asked = request.url.toString();
  request.range = std::move(range);
  if (bodyStarted) {
    request.onBodyStart = [bodyStarted = std::move(bodyStarted)](
                              platform::HttpResponse head,
                              std::shared_ptr<platform::HttpBodyStream> body) {
      Response response;
      response.contentType = head.mimeType.value_or(kDefaultSegmentContentType);
      response.statusCode = head.statusCode;
      response.contentRange = std::move(head.contentRange);
      response.stream = std::move(body);
      bodyStarted(std::move(response));
    };
  }
  // The completion needs the counters, not the loader: a loader may go away with requests
  // still running, and they complete all the same.
  urlSession_->dataTask(
      std::move(request), [kind, start, service = analyticsService_, credentials = credentials_,
                           requested = url.toString(), asked = std::move(asked),
                           completion = std::move(completion)](platform::HttpResult result) {
        std::optional<int> errorCode;
        if (const auto* error = result.errorIf()) {
          errorCode = error->code();
          if (OmbreliaLogger::isEnabled(OLogLevel::debug, OLogModule::proxy)) {
            OmbreliaLogger::debug("HTTP request failed (" + std::to_string(*errorCode) + "): " +
                                      platform::LoggedUrl::of(requested) + ": " + error->message,
                                  OLogModule::proxy);
          }
        }
        if (errorCode || kind == Kind::segment) {
          platform::DispatchQueue::main()->async([service, errorCode, start, kind] {
            if (errorCode) service->addError(*errorCode);
            if (kind == Kind::segment) {
              const std::chrono::duration<double, std::milli> elapsed =
                  platform::MonotonicClock::now() - start;
              service->httpSegmentStartDelay(elapsed.count());
            }
          });
        }

        Response response;
        if (const auto* answer = result.valueIf()) {
          const char* fallback = kind == Kind::playlist  ? kDefaultPlaylistContentType
                                 : kind == Kind::segment ? kDefaultSegmentContentType
                                                         : kDefaultGeneralContentType;
          response.data = answer->body;
          response.contentType = answer->mimeType.value_or(fallback);
          response.statusCode = answer->statusCode;
          response.contentRange = answer->contentRange;
          // Whatever was asked for may turn out to be a playlist, and its relative URIs are
          // relative to where the fetch ended. libcurl names it with the credentials it was
          // given (a redirect within the origin keeps them): they stay here, out of the URLs
          // the player, the stores and the log see.
          response.url = answer->url.empty()
                             ? std::optional(requested)
                             : withoutCredentials(answer->url, asked, requested, credentials);
          if (response.url && *response.url != requested &&
              OmbreliaLogger::isEnabled(OLogLevel::debug, OLogModule::proxy)) {
            OmbreliaLogger::debug("Redirected: " + platform::LoggedUrl::of(requested) + " -> " +
                                      platform::LoggedUrl::of(*response.url),
                                  OLogModule::proxy);
          }
          if ((kind == Kind::playlist && response.statusCode == 200) ||
              (kind == Kind::general && PlaylistContent::looksLikePlaylist(response))) {
            dropPlaylistOfTooManyLines(response);
          }
        } else {
          response.errorCode = errorCode;
        }
        if (completion) completion(std::move(response));
      });
}

}  // namespace ombrelia
