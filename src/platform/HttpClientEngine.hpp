#pragma once
// Any thread for submit() and cancel(); everything else runs on the engine's own thread.

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/CurlSocketWatch.hpp"
#include "platform/CurlSockets.hpp"
#include "platform/CurlTransfer.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/HttpClient.hpp"
#include "platform/TransferIndex.hpp"
#include "platform/UnreadTails.hpp"

namespace ombrelia::platform {

// libcurl's multi interface driven by one thread. Other threads only hand transfers and
// cancellations over through a locked inbox and wake the thread; the easy handles and the
// multi handle are touched by the engine's thread alone.
class HttpClientEngine : public std::enable_shared_from_this<HttpClientEngine> {
 public:
  HttpClientEngine(const HttpClient::Settings& settings, std::shared_ptr<DispatchQueue> queue);
  // Stops the thread; every transfer not yet completed completes as cancelled.
  ~HttpClientEngine();
  HttpClientEngine(const HttpClientEngine&) = delete;
  HttpClientEngine& operator=(const HttpClientEngine&) = delete;

  uint64_t nextIdentifier() { return nextIdentifier_.fetch_add(1) + 1; }
  void submit(std::unique_ptr<CurlTransfer> transfer);
  void cancel(uint64_t identifier);
  // Marks the transfer as one nobody waits for (HttpTask::abandon).
  void abandon(uint64_t identifier);
  // Continues a transfer its body gate paused.
  void resume(uint64_t identifier);
  // The most the bodies in flight held at one time, by what had arrived.
  size_t peakBodyBytesInFlight() const { return peakBodyBytes_.load(); }
  HttpClient::EngineWork work() const {
    return {turns_.load(), transfersLookedAt_.load(), index_.hostsKept()};
  }
  // Queues a completion on the delegate queue.
  void deliver(HttpClient::Completion completion, HttpResult result);
  // The reader of the transfer's body, ended, has left `unread` bytes of it (any thread).
  void tailRead(uint64_t identifier, size_t unread);

 private:
  void run();
  // The engine whose thread this is, when `weak` names it: a callback that runs there uses it
  // without taking a reference, since the last one, dropped on that thread, would have the
  // destructor join the thread from itself.
  static HttpClientEngine* runningHere(const std::weak_ptr<HttpClientEngine>& weak);
  // Runs `step` with the engine `weak` names, if it still exists, from any thread.
  template <typename Step>
  static void withEngine(const std::weak_ptr<HttpClientEngine>& weak, Step step);
  // Wakes the thread from its wait for events.
  void wake();
  // Hands libcurl the sockets found ready, and runs its timers that are due.
  void perform();
  // Waits up to `timeoutMs`, or until libcurl's timer is due, for sockets to be ready or the
  // thread to be woken.
  void waitForEvents(int timeoutMs);
  void start(std::unique_ptr<CurlTransfer> transfer);
  void complete(uint64_t identifier, HttpResult result);
  void collectFinished();
  // Ends the abandoned transfers that pass the body budget or hold a connection a transfer
  // someone waits for needs.
  void endAbandonedBeyondLimits();
  // The budget of bodies in flight, by what has arrived: whether `transfer` may hold
  // `wouldHold` bytes in all (always, when `past`); counts them when it may. A body not kept
  // that holds less gives the rest back.
  bool admitBody(CurlTransfer& transfer, size_t wouldHold, bool past);
  // Whether `transfer` is the oldest that someone waits for and whose body moves: that one
  // takes the room kept back from the others, so that bodies each holding part of the budget
  // never wait on each other for ever.
  bool takesRoomFirst(const CurlTransfer& transfer);
  // Whether a transfer someone waits for is paused for room.
  bool roomWanted() const;
  // Ends the transfers slower than their minimum rate, and those whose reader has taken nothing
  // for HttpClient::kMaxIdleReaderTime while one someone waits for lacks room or a connection
  // they hold. It looks at every transfer: the engine runs it every kTimeChecksInterval at most.
  void endStalledTransfers();
  // Where a transfer someone waits for lacks a connection to its host, bodies paused at their
  // gate give theirs up (CurlTransfer::park) rather than hold it while they wait.
  void parkWhereConnectionsAreWanted();
  // Where a body someone waits for was refused room, bodies paused at their gate give theirs up
  // (CurlTransfer::park), the youngest first, as much as it lacked: they hold it while they
  // move nothing, and the gate's room they keep is what bounds their memory.
  void parkWhereRoomIsWanted();
  // Hands a parked transfer its gate has resumed back to libcurl.
  void unpark(CurlTransfer& transfer);
  // Hands a set-aside transfer whose reader took enough back to libcurl, for the rest.
  void goOnAfterSetAside(CurlTransfer& transfer);
  // Continues the transfers paused for room once room may have come free.
  void resumeWhereRoomMoved();
  // Hands back to libcurl the transfers whose body broke off once their next try is due; the
  // poll's timeout in milliseconds, shortened to the next one due.
  int goOnAfterBreaks();

  // Takes the transfer's handle from libcurl and parks it, its room given back.
  void parkTransfer(CurlTransfer& transfer);
  // Short of room, bodies kept for the store stop being kept, each once.
  void stopKeepingWhereRoomIsWanted();
  // Once its transfer has ended, what the body's reader has not taken yet stays counted until
  // it has (UnreadTails).
  void followUnreadTail(const CurlTransfer& transfer);
  // Gives back to the budget what the bodies in flight no longer hold.
  void giveBack(size_t bytes);

  std::shared_ptr<DispatchQueue> queue_;
  // Both outlive every connection: the multi handle's cleanup closes the last ones through them.
  CurlSocketWatch watch_;
  CurlSockets sockets_{watch_};
  CURLM* multi_ = nullptr;
  // Found ready by the last wait, handed to libcurl on the next turn.
  std::vector<CurlSocketWatch::Ready> ready_;
  std::atomic<uint64_t> nextIdentifier_{0};

  const size_t maxBodyBytesInFlight_;
  // Of the budget, what only the transfer that takes room first may use.
  const size_t firstTakersRoom_;
  size_t bodyBytesHeld_ = 0;  // by every body in flight, by what has arrived
  bool roomMoved_ = false;    // since the transfers paused for room last asked
  // How far past the shared budget the bodies refused room since the engine last looked asked.
  size_t roomShortBy_ = 0;
  std::atomic<size_t> peakBodyBytes_{0};
  const long maxConnectionsPerHost_;
  const std::chrono::milliseconds maxSilence_;

  // guards the inbox: incoming_, cancels_, abandons_, resumes_, tailsRead_, stopping_
  std::mutex mutex_;
  std::vector<std::unique_ptr<CurlTransfer>> incoming_;
  std::vector<uint64_t> cancels_;
  std::vector<uint64_t> abandons_;
  std::vector<uint64_t> resumes_;
  std::vector<std::pair<uint64_t, size_t>> tailsRead_;
  bool stopping_ = false;

  // The engine thread's own: transfers handed to libcurl, by identifier.
  std::unordered_map<uint64_t, std::unique_ptr<CurlTransfer>> active_;
  size_t abandoned_ = 0;  // of active_
  // Every active transfer, kept up to date by the transfers themselves (setObserver).
  TransferIndex index_;
  // The unread ends of streamed bodies whose transfers have ended, counted in bodyBytesHeld_.
  UnreadTails tails_;
  // The checks of time (silence, minimum rate, idle readers) look at every transfer: they run
  // this often at most, so that their cost follows the clock and not the events.
  std::chrono::steady_clock::time_point nextTimeChecks_{};
  std::atomic<uint64_t> turns_{0};
  std::atomic<uint64_t> transfersLookedAt_{0};
  // Transfers set aside after a break, each with when it tries again (few at a time).
  std::vector<std::pair<std::chrono::steady_clock::time_point, uint64_t>> afterBreak_;
  std::thread thread_;
};

}  // namespace ombrelia::platform
