#pragma once
// Any thread.

#include <ombrelia/Export.hpp>

namespace ombrelia {

// The application's handle on the library's in-memory segment store.
class OMBRELIA_API VideoStorageManager {
 public:
  static VideoStorageManager& shared();
  VideoStorageManager() = default;

  // Empties the store; returns once every segment stored before the call is gone.
  void removeAll();
};

}  // namespace ombrelia
