#include "platform/FreedMemory.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

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

void FreedMemory::keepArenaTopsSmall() {
#if defined(__GLIBC__)
  static const bool kept = [] {
    // What the application asked of glibc stands.
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    if (std::getenv("MALLOC_TRIM_THRESHOLD_") != nullptr ||
        std::getenv("MALLOC_MMAP_THRESHOLD_") != nullptr ||
        (tunables != nullptr && std::strstr(tunables, "glibc.malloc.") != nullptr)) {
      return false;
    }
    // Setting it also stops glibc from raising it, and the mapping threshold with it.
    return mallopt(M_TRIM_THRESHOLD, static_cast<int>(kMaxKeptArenaTopBytes)) == 1;
  }();
  (void)kept;
#endif
}

}  // namespace ombrelia::platform
