#pragma once
// Built on any thread, then read by one connection's steps.

#include <memory>
#include <string>

#include <ombrelia/Data.hpp>

#include "webserver/responses/WebServerDataResponse.hpp"

namespace ombrelia {

class PlaylistWork;

// A rewritten playlist on its way to the player. It keeps the playlist's share of the playlist
// work budget until the connection lets it go, once the text is written or the player has gone:
// the text is held until then.
class PlaylistAnswer : public WebServerDataResponse {
 public:
  PlaylistAnswer(Data data, std::string contentType, std::shared_ptr<PlaylistWork> work);

 private:
  std::shared_ptr<PlaylistWork> work_;
};

}  // namespace ombrelia
