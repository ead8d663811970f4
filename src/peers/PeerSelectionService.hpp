#pragma once
// The signalling delivery queue: called synchronously for each received list.

#include <memory>
#include <vector>

#include "platform/Uuid.hpp"

namespace ombrelia {

class GroupListItem;
class PeerConnectionListItem;
class PeerOwner;

// Applies the group lists and peer-connection lists of the signalling service to the shared
// peer list.
class PeerSelectionService {
 public:
  virtual ~PeerSelectionService() = default;

  // Writes the personal identifier first, then applies the items in order: "add" (skipping this
  // client itself; the peer is filed under `owner`) and "delete"; any other modification is
  // logged and skipped.
  virtual void updatePeersWithList(const std::vector<GroupListItem>& list, const Uuid& personalUUID,
                                   const std::shared_ptr<PeerOwner>& owner = nullptr);
  // Applies only the "delete" items; the personal identifier is neither read nor written.
  virtual void updatePeersWithList(const std::vector<PeerConnectionListItem>& list,
                                   const Uuid& personalUUID);
};

}  // namespace ombrelia
