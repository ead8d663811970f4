#include "proxy/HTTPLoader.hpp"

#include <ombrelia/OmbreliaLogger.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string_view>

#include "platform/CurlUrlReading.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/HttpTask.hpp"
#include "platform/LoggedUrl.hpp"
#include "platform/MonotonicClock.hpp"
#include "platform/url/UrlReference.hpp"
#include "playlist/parser/PlaylistLines.hpp"
#include "protocol/AnalyticsFeed.hpp"
#include "proxy/OriginCredentials.hpp"
#include "proxy/PlaylistContent.hpp"
#include "proxy/PlaylistWork.hpp"
#include "proxy/PlaylistWorkBudget.hpp"

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
// The "scheme://host:port" whose share of the playlist budget a fetch of `url` counts in.
std::string originTextOf(const std::string& url) {
  const auto reading = platform::CurlUrlReading::of(url);
  return reading ? reading->origin() : std::string();
}

// Whether an answer to a fetch that was not asked for as a playlist may be one, from its head
// and the first piece of its body: what PlaylistContent::looksLikePlaylist reads of the whole.
// A piece too short to tell ("#EXTM", part of a byte order mark) counts as a playlist: an origin
// choosing its first piece must not pass the gate that way.
bool startsLikePlaylist(const platform::HttpResponse& head, std::string_view firstPiece) {
  HTTPLoader::Response start;
  start.statusCode = head.statusCode;
  start.contentType = head.mimeType;
  // "#EXTM3U" after a byte order mark at most.
  start.data = Data(firstPiece.data(), std::min<size_t>(firstPiece.size(), 16));
  if (PlaylistContent::looksLikePlaylist(start)) return true;
  if (head.statusCode != 200) return false;
  constexpr std::string_view kMarker = "\xEF\xBB\xBF#EXTM3U";
  return kMarker.starts_with(firstPiece) || kMarker.substr(3).starts_with(firstPiece);
}

// The task of a fetch, known once it has been made: the fetch may need ending before.
class TaskSlot {
 public:
  void set(std::shared_ptr<platform::HttpTask> task) {
    std::lock_guard lock(mutex_);
    task_ = std::move(task);
  }
  std::shared_ptr<platform::HttpTask> get() const {
    std::lock_guard lock(mutex_);
    return task_;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<platform::HttpTask> task_;
};

void dropPlaylistOfTooManyLines(HTTPLoader::Response& response) {
  const size_t lines = PlaylistLines::count(response.data->view());
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
                                std::optional<std::string> range, Cancellation cancellation) {
  load({.kind = Kind::general,
        .url = url,
        .range = std::move(range),
        .completion = std::move(completion),
        .cancellation = std::move(cancellation)});
}

void HTTPLoader::requestPlaylist(const Url& playlistURL, Completion completion,
                                 Cancellation cancellation) {
  const auto& budget = PlaylistWorkBudget::shared();
  const size_t expected = budget->lastBodyBytes(playlistURL.toString());
  auto work = budget->begin(originTextOf(playlistURL.toString()));
  // A fetch still waiting for room is dropped with its player.
  work->stopWaitingOnceCancelled(cancellation);
  // The loader is kept until the fetch has started, as a running fetch keeps its completion.
  work->hold(expected,
             [self = shared_from_this(), playlistURL, expected, completion = std::move(completion),
              cancellation = std::move(cancellation), work]() mutable {
               self->load({.kind = Kind::playlist,
                           .url = playlistURL,
                           .completion = std::move(completion),
                           .cancellation = std::move(cancellation),
                           .playlistWork = std::move(work),
                           .playlistBytesTaken = expected});
             });
}

void HTTPLoader::requestSegment(const Url& segmentURL, Completion completion,
                                std::optional<std::string> range, Cancellation cancellation) {
  load({.kind = Kind::segment,
        .url = segmentURL,
        .range = std::move(range),
        .completion = std::move(completion),
        .cancellation = std::move(cancellation)});
}

void HTTPLoader::requestStreamedSegment(const Url& segmentURL, Completion answer,
                                        Completion finished, Cancellation cancellation) {
  // The start runs on the HTTP client's thread, always before the completion.
  auto streamed = std::make_shared<std::atomic<bool>>(false);
  auto started = [streamed, answer](Response head) {
    streamed->store(true);
    answer(std::move(head));
  };
  load({.kind = Kind::segment,
        .url = segmentURL,
        .completion =
            [streamed, answer, finished = std::move(finished)](Response response) {
              if (streamed->load()) {
                finished(std::move(response));
                return;
              }
              finished(response);
              answer(std::move(response));
            },
        .bodyStarted = std::move(started),
        .cancellation = std::move(cancellation)});
}

void HTTPLoader::load(Load load) {
  if (load.cancellation && load.cancellation->isCancelled()) {
    // Its player has gone: not asked of the origin at all, and answered as a failed request,
    // on the queue every answer comes on.
    urlSession_->delegateQueue()->async(
        [completion = std::move(load.completion)] { completion(Response{}); });
    return;
  }
  const Kind kind = load.kind;
  const Url& url = load.url;
  analyticsService_->newHttpRequest();
  const auto start = platform::MonotonicClock::now();
  platform::HttpRequest request;
  request.url = credentials_ ? credentials_->applied(url) : url;
  std::string asked = request.url.toString();
  request.range = std::move(load.range);
  // A segment the player reads as it arrives may still be kept whole for the store once the
  // player has gone: it is abandoned rather than ended.
  const bool keptForTheStore = static_cast<bool>(load.bodyStarted);
  if (load.bodyStarted) {
    request.onBodyStart = [bodyStarted = std::move(load.bodyStarted)](
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
  // A playlist's work, made at its fetch; for a fetch under another path, made once its body
  // starts as a playlist's, so that it takes the gate as any playlist does. Read by the
  // completion, which comes after the body's last piece.
  auto work = std::make_shared<std::shared_ptr<PlaylistWork>>(std::move(load.playlistWork));
  // The fetch holding a playlist's room, once there is one: ended, should it make too little
  // progress while another playlist waits for room.
  auto task = std::make_shared<TaskSlot>();
  auto endable = [task] {
    return [task] {
      if (auto running = task->get()) running->cancel();
    };
  };
  if (*work) (*work)->endWhileOthersWait(endable());
  if (*work || kind == Kind::general) {
    // Called on the HTTP client's thread only, as the body's pieces are kept.
    request.onBodyBytes = [work](size_t bytes) {
      if (*work) (*work)->progressed(bytes);
    };
    if (*work) (*work)->awaitConnection(true);
    request.onConnectionWait = [work](bool awaiting) {
      if (*work) (*work)->awaitConnection(awaiting);
    };
    // Its body is whole (or failed): it moves no more while its completion waits its turn on a
    // busy delegate queue, and cancelling it then would throw a whole playlist away.
    request.onFinished = [work] {
      if (*work) (*work)->endWhileOthersWait(nullptr);
    };
    // Called on the HTTP client's thread only: the body first uses what was taken before the
    // fetch, then asks the budget for each piece as it arrives.
    request.bodyGate = [work, taken = load.playlistBytesTaken,
                        received = std::make_shared<size_t>(0)](size_t bytes,
                                                                std::function<void()> resume) {
      const size_t beyond =
          *received + bytes > taken ? *received + bytes - std::max(*received, taken) : 0;
      if (beyond > 0 && !(*work)->tryHold(beyond, std::move(resume))) return false;
      *received += bytes;
      return true;
    };
    if (!*work) {
      request.bodyGateApplies = [work, endable, origin = originTextOf(url.toString())](
                                    const platform::HttpResponse& head,
                                    std::string_view firstPiece) {
        if (!startsLikePlaylist(head, firstPiece)) return false;
        *work = PlaylistWorkBudget::shared()->begin(origin);
        (*work)->endWhileOthersWait(endable());
        return true;
      };
    }
  }
  // The completion needs the counters, not the loader: a loader may go away with requests
  // still running, and they complete all the same.
  auto started = urlSession_->dataTask(
      std::move(request),
      [kind, start, service = analyticsService_, credentials = credentials_,
       requested = url.toString(), asked = std::move(asked), heldWork = std::move(work),
       completion = std::move(load.completion)](platform::HttpResult result) mutable {
        std::shared_ptr<PlaylistWork> work = std::move(*heldWork);
        // Its fetch is over: what comes next moves at the pace of its stages and its player.
        if (work) work->endWhileOthersWait(nullptr);
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
          // Counted here, where every origin answer passes: byte ranges, init segments and
          // error pages are never stored, and counting only what is stored left them out.
          // A segment its player streamed but that was not kept (given up under pressure)
          // completes empty: what arrived is counted all the same.
          const size_t received = std::max(answer->body.size(), answer->bodyBytesReceived);
          if (received > 0) service->addOriginDataReceived(static_cast<int64_t>(received));
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
            if (response.data) {
              // A playlist goes on to its stages with its body counted, exactly now. One met
              // under another path whose first piece did not show it (a few bytes only) is
              // counted from here.
              if (!work) work = PlaylistWorkBudget::shared()->begin(originTextOf(requested));
              work->holdExactly(response.data->size());
              response.playlistWork = std::move(work);
              if (kind == Kind::playlist) {
                PlaylistWorkBudget::shared()->rememberBodyBytes(requested, response.data->size());
              }
            }
          } else if (work && response.data) {
            // Any other answer to a playlist's fetch (an error page, up to the body limit) goes
            // to the player as it came, and holds its share until it is written.
            work->holdExactly(response.data->size());
            response.playlistWork = std::move(work);
          }
        } else {
          response.errorCode = errorCode;
        }
        // Anything else gives its share of the budget back here.
        work.reset();
        if (completion) completion(std::move(response));
      });
  task->set(started);
  if (load.cancellation) {
    load.cancellation->onCancel([task = started, keptForTheStore] {
      if (keptForTheStore) {
        task->abandon();
      } else {
        task->cancel();
      }
    });
  }
}

}  // namespace ombrelia
