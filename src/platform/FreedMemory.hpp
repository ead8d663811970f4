#pragma once
// Any thread; the pages go back on the global queue, one return at a time.

#include <cstddef>

namespace ombrelia::platform {

// Gives the pages of memory just freed back to the system. glibc keeps what a thread frees in
// that thread's arena, and returns it only from the arena's top: after 8 players each had a
// playlist refused for its size, the viewer still held 400 MB that nothing used, and 8 players
// reloading a 31 MiB playlist left 250 MB resident. What large work freed is handed back soon
// after instead.
class FreedMemory {
 public:
  FreedMemory() = delete;

  // Below this, what glibc keeps is soon used again, and giving it back costs more than it saves.
  static constexpr size_t kMinBytesGivenBack = 8u << 20;

  // After `bytes` were freed: gives every arena's free pages back when they are at least
  // kMinBytesGivenBack. Returns at once; returns asked for while one is pending are one.
  static void giveBack(size_t bytes);
};

}  // namespace ombrelia::platform
