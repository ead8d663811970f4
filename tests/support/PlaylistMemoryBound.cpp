#include "support/PlaylistMemoryBound.hpp"

#include <algorithm>

#include "platform/url/UrlReference.hpp"
#include "proxy/DownloadController.hpp"
#include "proxy/PlaylistRewriter.hpp"

namespace ombrelia::test {

size_t onePlaylistMemoryBound(const std::string& playlist, const std::string& at) {
  constexpr size_t kBesides = 24u << 20;
  const Url url = UrlReference::read(at).value();
  const size_t storing = DownloadController::storingBytes(playlist, 2 * at.size());
  const size_t rewriting = std::min(PlaylistRewriter::mostRewrittenBytes(playlist, url),
                                    PlaylistRewriter::kMaxRewrittenBytes) +
                           PlaylistRewriter::workingBytes(url);
  return playlist.size() + std::max(storing, rewriting) + playlist.size() + storing + kBesides;
}

}  // namespace ombrelia::test
