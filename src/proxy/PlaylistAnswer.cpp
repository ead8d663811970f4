#include "proxy/PlaylistAnswer.hpp"

#include "proxy/PlaylistWork.hpp"

namespace ombrelia {

PlaylistAnswer::PlaylistAnswer(std::vector<Data> pieces, std::string contentType,
                               std::shared_ptr<PlaylistWork> work)
    : work_(std::move(work)) {
  size_t length = 0;
  for (Data& piece : pieces) {
    length += piece.size();
    if (!piece.empty()) pieces_.push_back(std::move(piece));
  }
  setContentType(std::move(contentType));
  setContentLength(length);
  // From here on it moves only as fast as its player reads.
  if (work_) work_->beginAnswer();
}

void PlaylistAnswer::readData(WebServerReadCompletion completion) {
  // The connection asks for the next piece once it has written the last one, and holds none of
  // it by then.
  if (handedBytes_ > 0 && work_) work_->release(handedBytes_);
  handedBytes_ = 0;
  if (pieces_.empty()) {
    completion(WebServerReadResult::end());
    return;
  }
  Data piece = std::move(pieces_.front());
  pieces_.pop_front();
  handedBytes_ = piece.size();
  completion(WebServerReadResult::success(std::move(piece)));
}

}  // namespace ombrelia
