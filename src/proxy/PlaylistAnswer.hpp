#pragma once
// Built on any thread, then read by one connection's steps.

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <ombrelia/Data.hpp>

#include "webserver/responses/WebServerResponse.hpp"

namespace ombrelia {

class PlaylistWork;

// A rewritten playlist on its way to the player, in the pieces it was rewritten in: each is let
// go once written, and its bytes go back to the playlist work budget then, so that a playlist of
// tens of MiB written to a slow player holds less and less of it. Whatever is left goes back when
// the connection lets the answer go, once the text is written or the player has gone. A player
// that reads too little while another playlist waits for room has its connection reset.
class PlaylistAnswer : public WebServerResponse {
 public:
  // The most handed to the connection at once: how finely a player's reading is followed,
  // should its answer hold room another playlist waits for (PlaylistWorkBudget).
  static constexpr size_t kMaxSliceBytes = 64 * 1024;

  PlaylistAnswer(std::vector<Data> pieces, std::string contentType,
                 std::shared_ptr<PlaylistWork> work);

 protected:
  void readData(WebServerReadCompletion completion) override;

 private:
  // Declared before the pieces, so let go after them: the budget is told once they are gone.
  std::shared_ptr<PlaylistWork> work_;
  std::deque<Data> pieces_;
  // Where the first piece has been handed over up to, and the slice handed over last: written
  // once the next is asked for; with it, a whole piece when it was its last slice.
  size_t offset_ = 0;
  size_t handedBytes_ = 0;
  size_t pieceWritten_ = 0;
};

}  // namespace ombrelia
