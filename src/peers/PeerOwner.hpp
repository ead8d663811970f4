#pragma once
// Any thread: its one field is read and written under the peer list's lock.

namespace ombrelia {

// Whoever negotiates peers into the shared list for one video: a download controller's
// signalling connection. The list is the process's, and a manager for the next video is made
// before the last one is destroyed, so each listed peer is filed under the owner that
// negotiated it: when a manager is cleaned up its peers alone leave the list
// (PeerList::retire()), and a negotiation of its that ends after that lists nothing.
class PeerOwner {
 private:
  friend class PeerList;
  bool retired_ = false;  // guarded by PeerList's lock
};

}  // namespace ombrelia
