#pragma once
// Test thread only.

#include <cstddef>
#include <string>

namespace ombrelia::test {

// What a viewer may hold for one playlist of this text, asked at `at` by one player: its body
// beside the larger of the store's reading and the rewriting (the pinning holds less than
// either), what the store keeps of it, and room for what its threads and connections take.
// Playlists asked beside it add the budget they share (PlaylistWorkBudget).
size_t onePlaylistMemoryBound(const std::string& playlist, const std::string& at);

}  // namespace ombrelia::test
