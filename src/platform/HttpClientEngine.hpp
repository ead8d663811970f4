#pragma once
// Any thread for submit() and cancel(); everything else runs on the engine's own thread.

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/CurlSockets.hpp"
#include "platform/CurlTransfer.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/HttpClient.hpp"

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
  // Queues a completion on the delegate queue.
  void deliver(HttpClient::Completion completion, HttpResult result);

 private:
  void run();
  void start(std::unique_ptr<CurlTransfer> transfer);
  void complete(uint64_t identifier, HttpResult result);
  void collectFinished();
  // Ends the abandoned transfers that pass the body budget or hold a connection a transfer
  // someone waits for needs.
  void endAbandonedBeyondLimits();

  std::shared_ptr<DispatchQueue> queue_;
  // Outlives every connection: the multi handle's cleanup closes the last ones through it.
  CurlSockets sockets_;
  CURLM* multi_ = nullptr;
  std::atomic<uint64_t> nextIdentifier_{0};

  const size_t maxBodyBytesInFlight_;
  const long maxConnectionsPerHost_;

  std::mutex mutex_;  // guards the inbox: incoming_, cancels_, abandons_, resumes_, stopping_
  std::vector<std::unique_ptr<CurlTransfer>> incoming_;
  std::vector<uint64_t> cancels_;
  std::vector<uint64_t> abandons_;
  std::vector<uint64_t> resumes_;
  bool stopping_ = false;

  // The engine thread's own: transfers handed to libcurl, by identifier.
  std::unordered_map<uint64_t, std::unique_ptr<CurlTransfer>> active_;
  size_t abandoned_ = 0;  // of active_
  std::thread thread_;
};

}  // namespace ombrelia::platform
