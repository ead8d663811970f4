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

  // Forgets every stored playlist (for example before another video starts).
  void cleanup();
  // The resolutions of the current master playlist's variants, lowest first ("640x360").
  std::vector<std::string> getResolutions();
};

}  // namespace ombrelia
