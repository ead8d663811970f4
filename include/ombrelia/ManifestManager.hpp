#pragma once
// Any thread.

#include <string>
#include <vector>

#include <ombrelia/Export.hpp>

namespace ombrelia {

// The application's handle on the library's store of fetched playlists.
class OMBRELIA_API ManifestManager {
 public:
  static ManifestManager& shared();
  ManifestManager() = default;

  // Forgets every stored playlist, before another video starts: after the previous video's
  // ProxyManager is cleaned up and before the next video's (a new one, with its own video
  // identifier) fetches its master playlist. A playlist whose fetch started before this is
  // answered to its player but not stored. A ProxyManager kept across this call stops sharing
  // with peers, as its video identifier would name the next video's segments.
  void cleanup();
  // The resolutions of the current master playlist's variants, lowest first ("640x360").
  std::vector<std::string> getResolutions();
};

}  // namespace ombrelia
