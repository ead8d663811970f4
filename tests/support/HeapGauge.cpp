#include "support/HeapGauge.hpp"

#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtimes count the heap themselves (malloc's own figures stay empty); their
// interface header does not ship with every compiler, the function does.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#define OMBRELIA_SANITIZER_HEAP 1
#endif

namespace ombrelia::test {

size_t HeapGauge::bytesInUse() {
#ifdef OMBRELIA_SANITIZER_HEAP
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#endif
}

HeapGauge::HeapGauge(std::chrono::milliseconds period) : baseline_(bytesInUse()), peak_(baseline_) {
  sampler_ = std::thread([this, period] {
    while (!stop_) {
      const size_t now = bytesInUse();
      size_t seen = peak_.load();
      while (now > seen && !peak_.compare_exchange_weak(seen, now)) {
      }
      std::this_thread::sleep_for(period);
    }
  });
}

HeapGauge::~HeapGauge() {
  stop_ = true;
  sampler_.join();
}

size_t HeapGauge::peakGrowth() const {
  const size_t peak = peak_.load();
  return peak > baseline_ ? peak - baseline_ : 0;
}

}  // namespace ombrelia::test
