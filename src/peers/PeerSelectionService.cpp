#include "peers/PeerSelectionService.hpp"

#include <ombrelia/OmbreliaLogger.hpp>

#include "foundation/RepeatedLog.hpp"
#include "peers/PeerList.hpp"
#include "protocol/GroupListItem.hpp"
#include "protocol/PeerConnectionListItem.hpp"

namespace ombrelia {

void PeerSelectionService::updatePeersWithList(const std::vector<GroupListItem>& list,
                                               const Uuid& personalUUID,
                                               const std::shared_ptr<PeerOwner>& owner) {
  auto& peerList = PeerList::shared();
  peerList.updatePersonalUUID(personalUUID);
  for (const auto& item : list) {
    if (item.modification() == "add") {
      if (item.uuid() == personalUUID) continue;
      OmbreliaLogger::debug("Add peer: " + item.uuid().uuidString(),
                            OLogModule::peerSelectionService);
      peerList.addPeer(item, owner);
    } else if (item.modification() == "delete") {
      OmbreliaLogger::debug("Delete peer: " + item.uuid().uuidString(),
                            OLogModule::peerSelectionService);
      peerList.removePeer(item.uuid());
    } else {
      // The tracker's list may hold any number of these.
      RepeatedLog::shared().logEachAtDebug(
          "group list item of unhandled type", reinterpret_cast<uintptr_t>(this),
          [&] {
            return "group response list has item with unhandled modification type: " +
                   item.modification();
          },
          OLogModule::peerSelectionService, OLogLevel::error);
    }
  }
}

void PeerSelectionService::updatePeersWithList(const std::vector<PeerConnectionListItem>& list,
                                               const Uuid&) {
  auto& peerList = PeerList::shared();
  for (const auto& item : list) {
    if (item.modification() != "delete") continue;
    OmbreliaLogger::debug("Delete peer: " + item.uuid().uuidString(),
                          OLogModule::peerSelectionService);
    peerList.removePeer(item.uuid());
  }
}

}  // namespace ombrelia
