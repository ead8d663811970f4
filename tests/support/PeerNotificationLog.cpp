#include "support/PeerNotificationLog.hpp"

#include <algorithm>

#include "peers/PeerList.hpp"
#include "platform/StandardOutput.hpp"

namespace ombrelia::test {

PeerNotificationLog::PeerNotificationLog(bool printPosts) : printPosts_(printPosts) {
  for (const char* name :
       {PeerList::kNewGroupPeerSendOffer, PeerList::kGroupPeerSendAnswer,
        PeerList::kGroupPeerSendCandidate, PeerList::kNewGroupPeer, PeerList::kPeerDisconected}) {
    tokens_.push_back(platform::NotificationCenter::defaultCenter().addObserver(
        name, [this, name = std::string(name)](const platform::Notification& notification) {
          record(name, notification);
        }));
  }
}

void PeerNotificationLog::record(const std::string& name,
                                 const platform::Notification& notification) {
  Entry entry;
  entry.name = name;
  if (const auto* peer = std::any_cast<Peer>(&notification.object)) {
    entry.uuid = peer->uuid;
    entry.hasClient = peer->webRTCClient != nullptr;
  } else if (const auto* uuid = std::any_cast<Uuid>(&notification.object)) {
    entry.uuid = *uuid;
  }
  const auto peers = PeerList::shared().peers();
  entry.listed = std::any_of(peers.begin(), peers.end(),
                             [&](const Peer& peer) { return peer.uuid == entry.uuid; });
  if (printPosts_) platform::StandardOutput::writeLine("posted " + name);
  std::vector<std::function<void(const Entry&)>> hooks;
  {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
    for (const auto& [hookName, hook] : hooks_) {
      if (hookName == name) hooks.push_back(hook);
    }
  }
  for (const auto& hook : hooks) hook(entry);
}

std::vector<PeerNotificationLog::Entry> PeerNotificationLog::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

std::vector<std::string> PeerNotificationLog::names() const {
  std::vector<std::string> names;
  for (const auto& entry : entries()) names.push_back(entry.name);
  return names;
}

void PeerNotificationLog::onPosted(const std::string& name,
                                   std::function<void(const Entry&)> hook) {
  std::lock_guard lock(mutex_);
  hooks_.emplace_back(name, std::move(hook));
}

}  // namespace ombrelia::test
