#pragma once
// Any thread: requests and cancellations come from any thread; one thread of the client drives
// every transfer, and completions run one at a time on the client's delegate queue.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/DispatchQueue.hpp"
#include "platform/HttpRequest.hpp"
#include "platform/HttpResult.hpp"

namespace ombrelia::platform {

class HttpClientEngine;
class HttpTask;

// GETs from the origin over HTTP/1.1 or HTTP/2, with connection reuse, redirects and hard
// limits, so that a slow, stalled or endless origin cannot hold a request or memory forever.
class HttpClient {
 public:
  // The largest body kept in memory: a media segment or a playlist is a few megabytes, so
  // anything past this is not one and would only exhaust memory.
  static constexpr size_t kMaxBodyBytes = 64 * 1024 * 1024;
  // A loopback or CDN origin accepts within milliseconds; past this it is unreachable.
  static constexpr std::chrono::milliseconds kDefaultConnectTimeout{10'000};
  // Like the platform's shared URL session: a transfer ends after this long without a byte
  // arriving, and nothing limits its whole time, so that a large body on a slow link, or one
  // whose origin stalls for a while, comes whole as a direct fetch would. Time the transfer is
  // paused by this client (for its reader, or for room) is no silence of the origin's.
  static constexpr std::chrono::seconds kDefaultMaxSilence{60};
  // A streamed body that breaks off after its head went to the player goes on with a Range
  // request from the byte reached, or the player would get less than a direct fetch. It may
  // break off this many times: each is a new connection's worth of trust in an origin that
  // keeps dropping them, and every try must make progress within the silence limit too.
  static constexpr int kMaxBodyBreaks = 8;
  // The waits between tries to go on after a break: soon at first, then no more than a few
  // seconds apart, so that an origin back after an outage is found within seconds of it.
  static constexpr std::chrono::milliseconds kFirstResumeDelay{250};
  static constexpr std::chrono::milliseconds kMaxResumeDelay{4000};
  // Browsers and the platform's URL loading stop at a small number of hops too.
  static constexpr long kMaxRedirects = 10;
  // A player asks for a few segments at a time; more connections to one origin buy nothing.
  static constexpr long kMaxConnectionsPerHost = 8;
  // The one budget of every body in flight, waited for or abandoned: room for two of the
  // largest bodies the client takes, or a few dozen ordinary segments. Each body counts what
  // has arrived; a piece that would pass the budget pauses its transfer (libcurl keeps the
  // piece, no byte is lost) until room frees. Half of it (kMaxBodyBytes) only the oldest body
  // someone waits for and that moves may take, so that bodies each holding part of it never
  // wait on each other for ever. An abandoned transfer goes on only while every body, each at
  // its declared length (what it will hold when whole), fits, and while no body someone waits
  // for lacks room: it finishes for the segment store what a player left, while a player
  // leaving segment after segment cannot make the viewer hold them all at once. A body a
  // player reads never pauses for room: keeping it whole for the store gives way instead
  // (HttpBodyStream::stopKeeping), and it then counts only what its player has not read.
  static constexpr size_t kMaxBodyBytesInFlight = 2 * kMaxBodyBytes;
  // A player's share of the budget beside the body it reads: its transfer runs at most
  // HttpBodyStream::kMaxUnreadBytes ahead of it. A reader that takes nothing of it for this long
  // while another body waits for room, or while a request someone waits for lacks the origin
  // connection it holds, is ended (the one idle longest first), so players that read nothing
  // cannot keep a reading player's segment or playlist waiting; otherwise it waits for its
  // reader as long as it takes.
  static constexpr std::chrono::seconds kMaxIdleReaderTime{5};
  // What nobody waits for any more is kept only while it moves: a body its player left goes on
  // for the store at this rate at least, over each window, or is let go (storing is the extra
  // given up first). Without it, players that leave trickling origins, one after another, would
  // pile up connections and bodies that no silence limit ends.
  static constexpr long kMinAbandonedBytesPerSecond = 1024;
  static constexpr std::chrono::seconds kAbandonedRateWindow{20};

  struct Settings {
    // The serial queue completions run on; a new one when empty.
    std::shared_ptr<DispatchQueue> delegateQueue;
    std::chrono::milliseconds connectTimeout = kDefaultConnectTimeout;
    std::chrono::milliseconds maxSilence = kDefaultMaxSilence;
    std::chrono::seconds abandonedRateWindow = kAbandonedRateWindow;
    size_t maxBodyBytes = kMaxBodyBytes;
    long maxConnectionsPerHost = kMaxConnectionsPerHost;
    size_t maxBodyBytesInFlight = kMaxBodyBytesInFlight;
  };

  // Called exactly once per task, on the delegate queue.
  using Completion = std::function<void(HttpResult)>;

  [[nodiscard]] static std::shared_ptr<HttpClient> create();
  [[nodiscard]] static std::shared_ptr<HttpClient> create(Settings settings);
  // The process's shared client (the "URL session" every loader uses); never destroyed.
  static const std::shared_ptr<HttpClient>& shared();

  // Transfers still running complete as cancelled.
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  const std::shared_ptr<DispatchQueue>& delegateQueue() const { return delegateQueue_; }
  const Settings& settings() const { return settings_; }

  // The most the bodies in flight held at one time since the client was made, by what had
  // arrived: what the budget of bodies in flight bounds.
  size_t peakBodyBytesInFlight() const;

  // What the client's thread has done so far, for tests that bound its work per event: the
  // turns of its loop, and the transfers it looked at on those turns (the checks of time, which
  // run a few times a second, apart).
  struct EngineWork {
    uint64_t turns = 0;
    uint64_t transfersLookedAt = 0;
    // Origins ("scheme://host:port") it keeps a record of: those a transfer counts against.
    size_t hostsKept = 0;
  };
  EngineWork engineWork() const;

  // Starts a GET at once. Only http and https URLs are fetched, redirects included.
  std::shared_ptr<HttpTask> dataTask(HttpRequest request, Completion completion);

 private:
  explicit HttpClient(Settings settings);

  Settings settings_;
  std::shared_ptr<DispatchQueue> delegateQueue_;
  std::shared_ptr<HttpClientEngine> engine_;
};

}  // namespace ombrelia::platform
