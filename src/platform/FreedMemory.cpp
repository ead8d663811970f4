#include "platform/FreedMemory.hpp"

#include <atomic>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "platform/DispatchQueue.hpp"

namespace ombrelia::platform {

void FreedMemory::giveBack(size_t bytes) {
#if defined(__GLIBC__)
  if (bytes < kMinBytesGivenBack) return;
  static std::atomic<bool> pending{false};
  if (pending.exchange(true)) return;
  // Off the caller's thread: trimming walks every arena, and the caller may be a connection's.
  DispatchQueue::global()->async([] {
    pending.store(false);
    // Every arena's free pages, not only its top: the freed blocks lie between live ones.
    malloc_trim(0);
  });
#else
  (void)bytes;
#endif
}

}  // namespace ombrelia::platform
