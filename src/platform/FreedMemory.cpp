#include "platform/FreedMemory.hpp"

#include <malloc.h>

namespace ombrelia::platform {

void FreedMemory::giveBack(size_t bytes) {
  if (bytes < kMinBytesGivenBack) return;
  // Every arena's free pages, not only its top: the freed blocks lie between live ones.
  malloc_trim(0);
}

}  // namespace ombrelia::platform
