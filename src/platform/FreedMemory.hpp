#pragma once
// Any thread: stateless.

#include <cstddef>

namespace ombrelia::platform {

// Gives the pages of memory just freed back to the system. glibc keeps what a thread frees in
// that thread's arena, and returns it only from the arena's top: after 8 players each had a
// playlist refused for its size, the viewer still held 400 MB that nothing used. What the
// playlist work freed is handed back at once instead.
class FreedMemory {
 public:
  FreedMemory() = delete;

  // Below this, what glibc keeps is soon used again, and giving it back costs more than it saves.
  static constexpr size_t kMinBytesGivenBack = 8u << 20;

  // After `bytes` were freed: gives them back when they are at least kMinBytesGivenBack.
  static void giveBack(size_t bytes);
};

}  // namespace ombrelia::platform
