#include "platform/HttpClientEngine.hpp"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <unordered_set>
#include <utility>

namespace ombrelia::platform {
namespace {

// How long the engine sleeps when nothing happens; submissions and cancellations wake it at once,
// and libcurl's next timer is asked before each wait, so this only bounds a missed one.
constexpr int kPollTimeoutMs = 1000;
// Idle connections kept for reuse across all origins.
constexpr long kMaxCachedConnections = 32;
// How often at most the checks of time look at every transfer. Their limits are seconds
// (silence, minimum rates, idle readers), so a quarter of a second late changes nothing, while
// running them on every batch of socket events made the thread's cost grow with the number of
// transfers times the events.
constexpr std::chrono::milliseconds kTimeChecksInterval{250};

// The engine whose thread runs here, if any.
thread_local HttpClientEngine* engineOfThisThread = nullptr;

void initializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

HttpClientEngine::HttpClientEngine(const HttpClient::Settings& settings,
                                   std::shared_ptr<DispatchQueue> queue)
    : queue_(std::move(queue)),
      maxBodyBytesInFlight_(settings.maxBodyBytesInFlight),
      firstTakersRoom_(std::min(settings.maxBodyBytes, settings.maxBodyBytesInFlight / 2)),
      maxConnectionsPerHost_(settings.maxConnectionsPerHost),
      maxSilence_(std::max(std::chrono::milliseconds(1), settings.maxSilence)),
      index_(settings.maxConnectionsPerHost) {
  initializeCurlOnce();
  multi_ = curl_multi_init();
  // Without an epoll set (out of descriptors), libcurl's own poll and perform drive it all.
  if (watch_.usable()) watch_.attach(multi_);
  curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, settings.maxConnectionsPerHost);
  curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, kMaxCachedConnections);
  curl_multi_setopt(multi_, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
  thread_ = std::thread([this] { run(); });
}

HttpClientEngine::~HttpClientEngine() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake();
  thread_.join();
  // Submitted after the thread's last look at the inbox.
  for (auto& transfer : incoming_) {
    deliver(transfer->takeCompletion(), HttpError{HttpErrorCause::cancelled, "cancelled"});
  }
  incoming_.clear();
  // Closes the connections kept for reuse through sockets_, which takes each out of watch_.
  curl_multi_cleanup(multi_);
}

void HttpClientEngine::wake() {
  if (watch_.usable()) {
    watch_.wake();
  } else {
    curl_multi_wakeup(multi_);
  }
}

void HttpClientEngine::perform() {
  int running = 0;
  if (!watch_.usable()) {
    curl_multi_perform(multi_, &running);
    return;
  }
  for (const auto& ready : ready_) {
    // A socket closed since the wait, or another opened under its number, is not handed the
    // event: libcurl would read or write a socket that never said it was ready.
    if (watch_.current(ready)) {
      curl_multi_socket_action(multi_, ready.socket, ready.bits, &running);
    }
  }
  ready_.clear();
  // Every turn, not only when the timer is due: it runs only what has expired (at most the
  // transfers that were started, resumed or handed back since), and nothing then depends on
  // waking at exactly the time libcurl gave.
  curl_multi_socket_action(multi_, CURL_SOCKET_TIMEOUT, 0, &running);
}

void HttpClientEngine::waitForEvents(int timeoutMs) {
  if (!watch_.usable()) {
    curl_multi_poll(multi_, nullptr, 0, timeoutMs, nullptr);
    return;
  }
  // Asked of libcurl each time rather than kept from a timer callback: libcurl tells that
  // callback only of a change and expects a timer that once fired to be gone, so a time kept
  // from it stays in the past after it fired, and the thread would turn without sleeping.
  long untilDue = -1;
  if (curl_multi_timeout(multi_, &untilDue) == CURLM_OK && untilDue >= 0) {
    timeoutMs = static_cast<int>(std::min<long>(untilDue, timeoutMs));
  }
  watch_.wait(timeoutMs, ready_);
}

void HttpClientEngine::submit(std::unique_ptr<CurlTransfer> transfer) {
  {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
      incoming_.push_back(std::move(transfer));
    }
  }
  if (transfer) {
    deliver(transfer->takeCompletion(), HttpError{HttpErrorCause::cancelled, "cancelled"});
    return;
  }
  wake();
}

void HttpClientEngine::cancel(uint64_t identifier) {
  {
    std::lock_guard lock(mutex_);
    cancels_.push_back(identifier);
  }
  wake();
}

void HttpClientEngine::abandon(uint64_t identifier) {
  {
    std::lock_guard lock(mutex_);
    abandons_.push_back(identifier);
  }
  wake();
}

void HttpClientEngine::resume(uint64_t identifier) {
  {
    std::lock_guard lock(mutex_);
    resumes_.push_back(identifier);
  }
  wake();
}

void HttpClientEngine::tailRead(uint64_t identifier, size_t unread) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    tailsRead_.emplace_back(identifier, unread);
  }
  wake();
}

void HttpClientEngine::deliver(HttpClient::Completion completion, HttpResult result) {
  if (!completion) return;
  queue_->async([completion = std::move(completion), result = std::move(result)]() mutable {
    completion(std::move(result));
  });
}

HttpClientEngine* HttpClientEngine::runningHere(const std::weak_ptr<HttpClientEngine>& weak) {
  HttpClientEngine* here = engineOfThisThread;
  if (here == nullptr) return nullptr;
  const std::weak_ptr<HttpClientEngine> own = here->weak_from_this();
  return !own.owner_before(weak) && !weak.owner_before(own) ? here : nullptr;
}

template <typename Step>
void HttpClientEngine::withEngine(const std::weak_ptr<HttpClientEngine>& weak, Step step) {
  if (auto* here = runningHere(weak)) {
    step(*here);
  } else if (auto engine = weak.lock()) {
    step(*engine);
  }
}

void HttpClientEngine::run() {
  engineOfThisThread = this;
  for (;;) {
    std::vector<std::unique_ptr<CurlTransfer>> arrived;
    std::vector<uint64_t> cancelled;
    std::vector<uint64_t> abandoned;
    std::vector<uint64_t> resumed;
    std::vector<std::pair<uint64_t, size_t>> tailsRead;
    bool stopping = false;
    {
      std::lock_guard lock(mutex_);
      arrived.swap(incoming_);
      cancelled.swap(cancels_);
      abandoned.swap(abandons_);
      resumed.swap(resumes_);
      tailsRead.swap(tailsRead_);
      stopping = stopping_;
    }
    const auto turnStarted = std::chrono::steady_clock::now();
    for (const auto& [identifier, unread] : tailsRead) {
      giveBack(tails_.taken(identifier, unread, turnStarted));
    }
    // Arrivals first, so a cancellation that follows its submission always finds the transfer.
    for (auto& transfer : arrived) start(std::move(transfer));
    for (const auto identifier : cancelled) {
      complete(identifier, HttpError{HttpErrorCause::cancelled, "cancelled"});
    }
    for (const auto identifier : abandoned) {
      auto found = active_.find(identifier);
      if (found != active_.end() && found->second->waited()) {
        if (found->second->passesStream() || found->second->parked() ||
            found->second->isSetAside()) {
          // Its body is no longer kept: nobody is left to take any of it.
          complete(identifier, HttpError{HttpErrorCause::cancelled,
                                         "nobody waits for it, and its body is not kept"});
          continue;
        }
        found->second->abandon();
        ++abandoned_;
        // Paused for its reader or for room, it goes on by the rules of those nobody waits
        // for: kept for the store within the budget, or ended; never left holding its
        // connection.
        found->second->resume();
        roomMoved_ = true;
      }
    }
    for (const auto identifier : resumed) {
      auto found = active_.find(identifier);
      if (found == active_.end()) continue;
      if (found->second->parked()) {
        unpark(*found->second);
      } else if (found->second->isSetAside()) {
        goOnAfterSetAside(*found->second);
      } else {
        found->second->resume();
      }
    }
    if (stopping) {
      while (!active_.empty()) {
        complete(active_.begin()->first, HttpError{HttpErrorCause::cancelled, "cancelled"});
      }
      return;
    }
    ++turns_;
    // Before libcurl hands out connections: a transfer someone waits for must find its own.
    endAbandonedBeyondLimits();
    parkWhereConnectionsAreWanted();
    perform();
    collectFinished();
    stopKeepingWhereRoomIsWanted();
    const auto now = std::chrono::steady_clock::now();
    if (now >= nextTimeChecks_) {
      nextTimeChecks_ = now + kTimeChecksInterval;
      endStalledTransfers();
    }
    endAbandonedBeyondLimits();
    parkWhereRoomIsWanted();
    resumeWhereRoomMoved();
    int pollTimeout = goOnAfterBreaks();
    if (!active_.empty()) {
      const auto untilChecks =
          std::chrono::ceil<std::chrono::milliseconds>(nextTimeChecks_ - now).count();
      pollTimeout = static_cast<int>(std::clamp<int64_t>(untilChecks, 0, pollTimeout));
    }
    waitForEvents(pollTimeout);
  }
}

void HttpClientEngine::start(std::unique_ptr<CurlTransfer> transfer) {
  if (auto error = transfer->prepare(sockets_)) {
    deliver(transfer->takeCompletion(), std::move(*error));
    return;
  }
  if (curl_multi_add_handle(multi_, transfer->easy()) != CURLM_OK) {
    deliver(transfer->takeCompletion(), HttpError{HttpErrorCause::unknown, "cannot start"});
    return;
  }
  const auto identifier = transfer->identifier();
  std::weak_ptr<HttpClientEngine> weak = weak_from_this();
  transfer->setResume([weak, identifier] {
    withEngine(weak, [identifier](HttpClientEngine& engine) { engine.resume(identifier); });
  });
  // Both run on this thread, from within libcurl's calls, while the transfer is in active_.
  transfer->setRoom([this](CurlTransfer& body, size_t wouldHold,
                           bool past) { return admitBody(body, wouldHold, past); },
                    [this] { roomMoved_ = true; });
  transfer->setObserver([this](CurlTransfer& changed) { index_.update(changed); });
  index_.add(*transfer);
  active_.emplace(identifier, std::move(transfer));
}

void HttpClientEngine::complete(uint64_t identifier, HttpResult result) {
  auto found = active_.find(identifier);
  if (found == active_.end()) return;  // already completed: a completion runs only once
  auto transfer = std::move(found->second);
  active_.erase(found);
  index_.remove(*transfer);
  if (!transfer->waited()) --abandoned_;
  // Its body goes on with the completion, counted by whoever keeps it; what its reader has not
  // taken yet stays counted here.
  giveBack(transfer->counted());
  followUnreadTail(*transfer);
  curl_multi_remove_handle(multi_, transfer->easy());
  deliver(transfer->takeCompletion(), std::move(result));
}

void HttpClientEngine::collectFinished() {
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    CurlTransfer* transfer = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
    if (transfer == nullptr) continue;
    // The message points into libcurl's state: read it before the handle is removed.
    const CURLcode code = message->data.result;
    if (transfer->setAsideAfter(code)) {
      curl_multi_remove_handle(multi_, transfer->easy());
      continue;
    }
    if (transfer->retryOnFreshConnection(code)) {
      curl_multi_remove_handle(multi_, transfer->easy());
      if (curl_multi_add_handle(multi_, transfer->easy()) == CURLM_OK) continue;
      complete(transfer->identifier(), HttpError{HttpErrorCause::unknown, "cannot start"});
      continue;
    }
    if (const auto due = transfer->breakMayResume(code, std::chrono::steady_clock::now())) {
      curl_multi_remove_handle(multi_, transfer->easy());
      afterBreak_.emplace_back(*due, transfer->identifier());
      continue;
    }
    complete(transfer->identifier(), transfer->finish(code));
  }
}

void HttpClientEngine::giveBack(size_t bytes) {
  if (bytes == 0) return;
  bodyBytesHeld_ -= bytes;
  roomMoved_ = true;
}

void HttpClientEngine::followUnreadTail(const CurlTransfer& transfer) {
  const auto& stream = transfer.stream();
  if (!stream) return;
  std::weak_ptr<HttpClientEngine> weak = weak_from_this();
  const uint64_t identifier = transfer.identifier();
  const size_t unread = stream->followUnread([weak, identifier](size_t left) {
    withEngine(weak,
               [identifier, left](HttpClientEngine& engine) { engine.tailRead(identifier, left); });
  });
  if (unread == 0) return;
  // Already in memory: counted whatever the budget, as a piece a player waits for is.
  tails_.add(identifier, stream, unread, std::chrono::steady_clock::now());
  bodyBytesHeld_ += unread;
  if (bodyBytesHeld_ > peakBodyBytes_.load()) peakBodyBytes_.store(bodyBytesHeld_);
}

bool HttpClientEngine::admitBody(CurlTransfer& transfer, size_t wouldHold, bool past) {
  if (wouldHold <= transfer.counted()) {
    // A body no longer kept holds less than it counted: what its reader took goes back.
    const size_t freed = transfer.counted() - wouldHold;
    if (freed > 0 && transfer.passesStream()) {
      transfer.uncount(freed);
      bodyBytesHeld_ -= freed;
      roomMoved_ = true;
    }
    return true;
  }
  const size_t more = wouldHold - transfer.counted();
  // One nobody waits for may go on while every body fits (and none someone waits for lacks
  // room: endAbandonedBeyondLimits), and so may a body a player reads, which never waits for
  // room (it stops being kept instead); the others share what the first taker's room leaves.
  const bool shares = transfer.waited() && !transfer.keepsStream() && !transfer.passesStream();
  const size_t limit = shares ? maxBodyBytesInFlight_ - firstTakersRoom_ : maxBodyBytesInFlight_;
  if (!past && bodyBytesHeld_ + more > limit && !(shares && takesRoomFirst(transfer))) {
    if (shares) roomShortBy_ = std::max(roomShortBy_, bodyBytesHeld_ + more - limit);
    return false;
  }
  bodyBytesHeld_ += more;
  transfer.count(more);
  if (bodyBytesHeld_ > peakBodyBytes_.load()) peakBodyBytes_.store(bodyBytesHeld_);
  return true;
}

bool HttpClientEngine::takesRoomFirst(const CurlTransfer& transfer) {
  if (!transfer.waited()) return false;
  ++transfersLookedAt_;
  return !index_.olderTakesRoomFirst(transfer.identifier());
}

bool HttpClientEngine::roomWanted() const { return index_.roomWanted(); }

void HttpClientEngine::parkTransfer(CurlTransfer& transfer) {
  ++transfersLookedAt_;
  curl_multi_remove_handle(multi_, transfer.easy());
  if (transfer.counted() > 0) {
    bodyBytesHeld_ -= transfer.counted();
    roomMoved_ = true;
  }
  transfer.park();
}

void HttpClientEngine::stopKeepingWhereRoomIsWanted() {
  if (!roomWanted()) return;
  // Each stops being kept once and for all, and leaves the index.
  // Read first: each leaves the index as it stops being kept.
  const std::vector<uint64_t> keepers(index_.keepers().begin(), index_.keepers().end());
  for (const uint64_t identifier : keepers) {
    ++transfersLookedAt_;
    if (auto found = active_.find(identifier); found != active_.end()) {
      found->second->stopKeeping();
    }
  }
}

void HttpClientEngine::endStalledTransfers() {
  const auto now = std::chrono::steady_clock::now();
  const bool wanted = roomWanted();
  std::vector<std::pair<uint64_t, std::string>> ending;
  // Per host over HTTP/1.1, as libcurl bounds connections: where transfers outnumber the
  // connections and one someone waits for has none, the readers that took nothing hold what it
  // waits for.
  struct Host {
    long transfers = 0;
    bool multiplexes = false;
    bool waitedWithout = false;  // a transfer someone waits for has no connection
    std::vector<CurlTransfer*> idle;
  };
  std::map<std::string, Host> hosts;
  for (const auto& [identifier, transfer] : active_) {
    if (transfer->parked() || transfer->isSetAside()) continue;
    Host& host = hosts[transfer->hostKey()];
    ++host.transfers;
    host.multiplexes = host.multiplexes || transfer->multiplexes();
    host.waitedWithout = host.waitedWithout || (transfer->waited() && !transfer->hasConnection());
    if (transfer->waited() && transfer->hasConnection() &&
        transfer->idleReaderFor(HttpClient::kMaxIdleReaderTime, now)) {
      host.idle.push_back(transfer.get());
    }
  }
  std::unordered_set<uint64_t> idleEnded;
  for (auto& [key, host] : hosts) {
    if (host.multiplexes || !host.waitedWithout || host.transfers <= maxConnectionsPerHost_) {
      continue;
    }
    // The least progress first: the reader idle the longest.
    std::sort(host.idle.begin(), host.idle.end(), [](const CurlTransfer* a, const CurlTransfer* b) {
      return a->pausedSince() < b->pausedSince();
    });
    for (auto* transfer : host.idle) {
      if (host.transfers <= maxConnectionsPerHost_) break;
      --host.transfers;
      idleEnded.insert(transfer->identifier());
      ending.emplace_back(transfer->identifier(),
                          "its reader took nothing for " +
                              std::to_string(HttpClient::kMaxIdleReaderTime.count()) +
                              " s while a request someone waits for needed its connection");
    }
  }
  for (const auto& [identifier, transfer] : active_) {
    if (idleEnded.count(identifier) > 0) continue;
    if (transfer->silentFor(maxSilence_, now)) {
      ending.emplace_back(identifier,
                          "no byte came for " + std::to_string(maxSilence_.count()) + " ms");
    } else if (transfer->slowerThanMinimum(now)) {
      ending.emplace_back(identifier, "the body came slower than " + transfer->minimumRateText());
    } else if (wanted && transfer->waited() && transfer->counted() > 0 &&
               transfer->idleReaderFor(HttpClient::kMaxIdleReaderTime, now)) {
      ending.emplace_back(identifier, "its reader took nothing for " +
                                          std::to_string(HttpClient::kMaxIdleReaderTime.count()) +
                                          " s while another body waited for room");
    }
  }
  for (auto& [identifier, reason] : ending) {
    complete(identifier, HttpError{HttpErrorCause::timedOut, std::move(reason)});
  }
  // So do the unread ends of ended bodies: their players' connections are reset.
  if (wanted) giveBack(tails_.dropIdle(HttpClient::kMaxIdleReaderTime, now));
}

int HttpClientEngine::goOnAfterBreaks() {
  if (afterBreak_.empty()) return kPollTimeoutMs;
  const auto now = std::chrono::steady_clock::now();
  auto next = now + std::chrono::milliseconds(kPollTimeoutMs);
  std::vector<std::pair<std::chrono::steady_clock::time_point, uint64_t>> later;
  for (const auto& [due, identifier] : afterBreak_) {
    auto found = active_.find(identifier);
    if (found == active_.end()) continue;  // ended meanwhile (cancelled, or silent too long)
    if (due > now) {
      later.emplace_back(due, identifier);
      next = std::min(next, due);
      continue;
    }
    found->second->goOnAfterBreak();
    if (curl_multi_add_handle(multi_, found->second->easy()) != CURLM_OK) {
      complete(identifier, HttpError{HttpErrorCause::unknown, "cannot go on after a break"});
    }
  }
  afterBreak_.swap(later);
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
  return static_cast<int>(std::clamp<int64_t>(wait, 0, kPollTimeoutMs));
}

void HttpClientEngine::resumeWhereRoomMoved() {
  if (!roomMoved_) return;
  roomMoved_ = false;
  // The oldest first, as it takes room first. A resumed transfer may pause again at once, and
  // so change the index: it is read first.
  const std::vector<uint64_t> paused(index_.roomPaused().begin(), index_.roomPaused().end());
  for (const uint64_t identifier : paused) {
    ++transfersLookedAt_;
    if (auto found = active_.find(identifier); found != active_.end()) found->second->resume();
  }
}

void HttpClientEngine::unpark(CurlTransfer& transfer) {
  if (auto error = transfer.unpark()) {
    complete(transfer.identifier(), std::move(*error));
    return;
  }
  if (curl_multi_add_handle(multi_, transfer.easy()) != CURLM_OK) {
    complete(transfer.identifier(), HttpError{HttpErrorCause::unknown, "cannot start"});
  }
}

void HttpClientEngine::goOnAfterSetAside(CurlTransfer& transfer) {
  if (transfer.waitsForItsReader()) return;
  if (auto error = transfer.goOnAfterSetAside()) {
    complete(transfer.identifier(), std::move(*error));
    return;
  }
  if (curl_multi_add_handle(multi_, transfer.easy()) != CURLM_OK) {
    complete(transfer.identifier(), HttpError{HttpErrorCause::unknown, "cannot go on"});
  }
}

void HttpClientEngine::parkWhereConnectionsAreWanted() {
  // Per host over HTTP/1.1, as libcurl bounds connections: the transfers past its connections
  // wait for one. None may wait behind a body that waits at its gate for room, which may be kept
  // for that very transfer: such a body gives its connection up, the youngest first, as many as
  // wait, and goes on once its gate lets it.
  std::vector<uint64_t> parking;
  for (const auto* host : index_.connectionsWanted()) {
    auto excess = host->transfers - maxConnectionsPerHost_;
    for (auto gated = host->gated.begin(); gated != host->gated.end() && excess > 0;
         ++gated, --excess) {
      parking.push_back(*gated);
    }
  }
  for (const uint64_t identifier : parking) {
    if (auto found = active_.find(identifier); found != active_.end()) {
      parkTransfer(*found->second);
    }
  }
}

void HttpClientEngine::parkWhereRoomIsWanted() {
  if (roomShortBy_ == 0) return;
  const size_t wanted = std::exchange(roomShortBy_, 0);
  // The youngest first, as for connections: the oldest keep what they have.
  std::vector<CurlTransfer*> parking;
  size_t freed = 0;
  const auto& gatedWithRoom = index_.gatedWithRoom();
  for (auto gated = gatedWithRoom.begin(); gated != gatedWithRoom.end() && freed < wanted;
       ++gated) {
    auto& transfer = *active_.at(*gated);
    freed += transfer.counted();
    parking.push_back(&transfer);
  }
  for (auto* transfer : parking) parkTransfer(*transfer);
}

void HttpClientEngine::endAbandonedBeyondLimits() {
  if (abandoned_ == 0) return;
  // Of the abandoned ones that hold something (one that holds nothing yet frees nothing), those
  // with the most still to come go first: what is nearly whole is nearly stored. A body someone
  // waits for that lacks room takes it from those nobody waits for.
  const bool wanted = roomWanted();
  std::vector<std::pair<uint64_t, std::string>> ending;
  size_t inFlight = index_.weightInFlight();
  if (inFlight > maxBodyBytesInFlight_ || wanted) {
    for (const auto& [remaining, identifier] : index_.abandonedByRemaining()) {
      if (inFlight <= maxBodyBytesInFlight_ && !wanted) break;
      ++transfersLookedAt_;
      const auto& transfer = *active_.at(identifier);
      if (inFlight <= maxBodyBytesInFlight_ && transfer.counted() == 0) continue;
      const bool over = inFlight > maxBodyBytesInFlight_;
      inFlight -= transfer.weight();
      ending.emplace_back(identifier,
                          over ? "nobody waits for it, and the bodies in flight passed " +
                                     std::to_string(maxBodyBytesInFlight_) + " bytes"
                               : std::string("nobody waits for it, and a body someone waits "
                                             "for needs its room"));
    }
  }
  for (auto& [identifier, reason] : ending) {
    complete(identifier, HttpError{HttpErrorCause::cancelled, std::move(reason)});
  }
  // Per host, as libcurl bounds connections: where the transfers there outnumber the
  // connections it may open, some wait, and none may wait for an abandoned one.
  ending.clear();
  for (const auto* host : index_.abandonedInTheWay()) {
    auto excess = host->transfers - maxConnectionsPerHost_;
    for (auto abandoned = host->abandoned.begin(); abandoned != host->abandoned.end() && excess > 0;
         ++abandoned, --excess) {
      ++transfersLookedAt_;
      ending.emplace_back(std::get<2>(*abandoned),
                          "nobody waits for it, and a request someone waits for needs its "
                          "connection");
    }
  }
  for (auto& [identifier, reason] : ending) {
    complete(identifier, HttpError{HttpErrorCause::cancelled, std::move(reason)});
  }
}

}  // namespace ombrelia::platform
