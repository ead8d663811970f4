#pragma once
// Test thread only: one process of the example host application and what it has printed.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/ChildProcess.hpp"

namespace ombrelia::test {

// Reads a host's standard output as it comes: its identifier, the digest of each segment its
// player received (with --digests), whether it has started serving a peer, and the rows of the
// summary table it prints when it has played.
class HostViewer {
 public:
  HostViewer(std::string name, std::unique_ptr<ChildProcess> process);

  // Takes every line written so far, waiting up to `wait` for each.
  void poll(std::chrono::milliseconds wait = std::chrono::milliseconds(20));

  const std::string& name() const { return name_; }
  ChildProcess& process() { return *process_; }
  const std::optional<std::string>& uuid() const { return uuid_; }
  // Identifiers it has received from the tracker so far: one more at every reconnection.
  size_t uuidCount() const { return uuidCount_; }
  // Data channels it has seen open so far, with any peer.
  size_t channelsOpened() const { return channelsOpened_; }
  // The peers in its list now, as its peer list logs them (from level 3).
  const std::set<std::string>& listedPeers() const { return listedPeers_; }
  // Descriptors the process holds open now; -1 once it is gone.
  long long openDescriptors() const;
  // The summary table has been printed to its last row.
  bool finished() const { return finished_; }
  // It has started sending a segment to another viewer.
  bool uploading() const { return uploading_; }
  // Its data channel with another viewer has opened (logged from level 3).
  bool channelOpen() const { return channelOpen_; }
  const std::vector<std::pair<std::string, std::string>>& digests() const { return digests_; }
  const std::vector<std::string>& lines() const { return lines_; }

  // A row of the summary table ("result", "stalls", "bytes from peers", ...); absent until printed.
  std::optional<std::string> row(const std::string& name) const;
  // A numeric row; -1 until printed.
  long long number(const std::string& name) const;

  // Every digest the player received matches the one `expected` gives for its path, and there is
  // at least one. `expected` returns none for a path the origin does not have.
  void expectSegmentsMatch(
      const std::function<std::optional<std::string>(const std::string&)>& expected) const;
  // The same against digests by path, as SegmentDigests::ofFolder gives them.
  void expectSegmentsMatch(const std::map<std::string, std::string>& expected) const;

  // Writes the lines that contain any of `words`, for a failure's context.
  void printLinesWith(const std::vector<std::string>& words) const;

 private:
  std::string name_;
  std::unique_ptr<ChildProcess> process_;
  std::optional<std::string> uuid_;
  size_t uuidCount_ = 0;
  size_t channelsOpened_ = 0;
  std::set<std::string> listedPeers_;
  std::map<std::string, std::string> table_;
  std::vector<std::pair<std::string, std::string>> digests_;
  std::vector<std::string> lines_;
  bool finished_ = false;
  bool uploading_ = false;
  bool channelOpen_ = false;
};

}  // namespace ombrelia::test
