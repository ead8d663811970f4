#include "proxy/PlaylistAnswer.hpp"

#include <algorithm>

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
  if (work_) {
    work_->beginAnswer();
    work_->endWhileOthersWait([reset = resetHandle()] { reset->request(); });
  }
}

void PlaylistAnswer::readData(WebServerReadCompletion completion) {
  // The connection asks for the next piece once it has written the last one, and holds none of
  // it by then.
  if (work_) {
    if (handedBytes_ > 0) work_->progressed(handedBytes_);
    if (pieceWritten_ > 0) work_->release(pieceWritten_);
  }
  handedBytes_ = 0;
  pieceWritten_ = 0;
  if (pieces_.empty()) {
    completion(WebServerReadResult::end());
    return;
  }
  // Slices share the piece's bytes, which are let go with its last one.
  const Data& piece = pieces_.front();
  const size_t length = std::min(piece.size() - offset_, kMaxSliceBytes);
  Data slice = piece.slice(offset_, length);
  offset_ += length;
  handedBytes_ = length;
  if (offset_ == piece.size()) {
    pieceWritten_ = piece.size();
    pieces_.pop_front();
    offset_ = 0;
  }
  completion(WebServerReadResult::success(std::move(slice)));
}

}  // namespace ombrelia
