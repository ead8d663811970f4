#include "ArenaTops.hpp"

#include <cstdlib>
#include <cstring>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace ombrelia::example {

namespace {
constexpr int kMaxKeptArenaTopBytes = 128 << 10;
}  // namespace

void keepArenaTopsSmall() {
#if defined(__GLIBC__)
  // What the user asked of glibc stands.
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  if (std::getenv("MALLOC_TRIM_THRESHOLD_") != nullptr ||
      std::getenv("MALLOC_MMAP_THRESHOLD_") != nullptr ||
      (tunables != nullptr && std::strstr(tunables, "glibc.malloc.") != nullptr)) {
    return;
  }
  // Setting it also stops glibc from raising it, and the mapping threshold with it.
  mallopt(M_TRIM_THRESHOLD, kMaxKeptArenaTopBytes);
#endif
}

}  // namespace ombrelia::example
