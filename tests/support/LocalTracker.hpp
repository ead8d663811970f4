#pragma once
// Test thread only.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.hpp"

namespace ombrelia::test {

// The test tracker program on loopback with a certificate authority of its own, and example host
// applications started against it (trusting that authority), for multi-process tests.
class LocalTracker {
 public:
  // `groupAfterUuid`: the tracker introduces each client to the others as soon as it has its id.
  // `announceDepartures`: the tracker tells the others when a client's connection ends.
  explicit LocalTracker(bool groupAfterUuid, bool announceDepartures = true);
  struct AnalyticsRecord {
    size_t connection;  // the tracker's number of the connection it came on
    std::string text;
  };
  // Every analytics text the tracker has received so far, in order of arrival.
  std::vector<AnalyticsRecord> analyticsRecords() const;
  ~LocalTracker();
  LocalTracker(const LocalTracker&) = delete;
  LocalTracker& operator=(const LocalTracker&) = delete;

  // "wss://127.0.0.1:<port>/", or absent when the tracker did not start.
  const std::optional<std::string>& url() const { return url_; }

  // Kills the tracker (SIGKILL: no connection is closed in order) and starts a fresh one on the
  // same port, which has forgotten every client; its new authority replaces the old one in the
  // file the hosts trust. False when it did not come back at the same URL.
  bool restart();

  // A participant that only relays between two clients joins (see TestTracker::startRelaying);
  // the identifiers are those the clients print. Its identifier, or none.
  std::optional<std::string> startRelaying(const std::string& from, const std::string& to);
  // It leaves, announced as any departure. False when the tracker did not confirm it.
  bool stopRelaying();

  // A participant sends the client `count` offers back to back (see TestTracker::floodOffers);
  // the identifier is one a client prints. The participant's identifier, or none.
  std::optional<std::string> floodOffers(const std::string& to, size_t count);
  // How many of those the tracker has written so far; none when it does not answer.
  std::optional<size_t> offersWritten();

  // A participant with a real connection offers to the client (see
  // TestTracker::joinChannelOpener). Its identifier once its channel is open, or none.
  std::optional<std::string> joinChannelOpener(const std::string& to);
  // It opens channels and sends on them (see TestTracker::openChannels). False when the tracker
  // did not start it.
  bool openChannels(size_t count, size_t bytes, size_t messages);
  // It shuts its window and opens "P2P" again and again on `streams` of its streams, for up to
  // `seconds` (see TestTracker::reopenChannels). False when the tracker did not start it.
  bool reopenChannels(size_t streams, size_t seconds);
  // `count` participants with real connections offer to the client (see
  // TestTracker::joinAskers); how many opened their channel, none when the tracker does not
  // answer.
  std::optional<size_t> joinAskers(const std::string& to, size_t count);
  // Each shuts its window and asks for a segment every `intervalMs` for `seconds` (see
  // TestTracker::askSteadily). False when the tracker did not start them.
  bool askSteadily(size_t intervalMs, size_t seconds);
  // How many of them have had their connection ended.
  std::optional<size_t> askersEnded();
  // One more participant reads `whole` of the client's segments, then one with its window shut,
  // and leaves `lingeringMs` into the next (see TestTracker::fetchThenLeave). The segments it
  // read whole before and every frame byte it received; none when it did not join.
  struct Fetched {
    size_t wholeSegments = 0;
    unsigned long long frameBytes = 0;
  };
  std::optional<Fetched> fetchThenLeave(const std::string& to, size_t whole, size_t lingeringMs);
  // Whether its connection has ended; none when the tracker does not answer.
  std::optional<bool> channelOpenerEnded();
  // The opens it has sent so far; none when the tracker does not answer.
  std::optional<size_t> channelsOpened();

  // `ombrelia-host <command> <originURL> --port 0 --tracker <url> <extra...>`, its standard output
  // captured and its standard error discarded; `environment` ("NAME=value") is added to its own,
  // and `maxOpenFiles`, if any, limits its descriptors.
  std::unique_ptr<ChildProcess> startHost(
      const std::string& command, const std::string& originURL,
      const std::vector<std::string>& extra, const std::vector<std::string>& environment = {},
      std::optional<unsigned long> maxOpenFiles = std::nullopt) const;

 private:
  // A command answered with a number.
  std::optional<size_t> count(const std::string& command);

  std::string folder_;
  std::string caFile_;
  std::string analyticsLog_;
  std::vector<std::string> argv_;
  std::unique_ptr<ChildProcess> process_;
  std::optional<std::string> url_;
};

}  // namespace ombrelia::test
