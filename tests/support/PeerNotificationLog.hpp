#pragma once
// Any thread: observers record under a lock on the posting thread.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/NotificationCenter.hpp"
#include "platform/Uuid.hpp"

namespace ombrelia::test {

// Observes the five peer-list notifications and records each with what the peer list held at
// that moment. When asked, each record is also printed as "posted <name>", so a test that
// captures standard output sees notifications and log lines in one order.
class PeerNotificationLog {
 public:
  struct Entry {
    std::string name;
    Uuid uuid;
    bool listed = false;     // the peer stood in the list when the observer ran
    bool hasClient = false;  // the posted Peer carried a client
  };

  explicit PeerNotificationLog(bool printPosts = false);
  std::vector<Entry> entries() const;
  std::vector<std::string> names() const;
  // Runs after an entry of that name is recorded, on the posting thread.
  void onPosted(const std::string& name, std::function<void(const Entry&)> hook);

 private:
  void record(const std::string& name, const platform::Notification& notification);

  const bool printPosts_;
  mutable std::mutex mutex_;  // guards entries_ and hooks_
  std::vector<Entry> entries_;
  std::vector<std::pair<std::string, std::function<void(const Entry&)>>> hooks_;
  std::vector<platform::ObserverToken> tokens_;
};

}  // namespace ombrelia::test
