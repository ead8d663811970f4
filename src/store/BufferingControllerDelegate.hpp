#pragma once
// Called on whichever thread asks the buffering controller: request threads, the peer exchange
// and the analytics report; implementations must answer from any thread.

namespace ombrelia {

// Supplies the seconds of media the player holds ahead of its play position.
class BufferingControllerDelegate {
 public:
  virtual ~BufferingControllerDelegate() = default;
  virtual double getPrebufferingDuration() = 0;
};

}  // namespace ombrelia
