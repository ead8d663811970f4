#pragma once
// Any thread.

namespace ombrelia {

// The application's handle on the library's in-memory segment store.
class VideoStorageManager {
 public:
  static VideoStorageManager& shared();
  VideoStorageManager() = default;

  // Empties the store; returns once every segment stored before the call is gone.
  void removeAll();
};

}  // namespace ombrelia
