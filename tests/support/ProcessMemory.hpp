#pragma once
// Test thread only: reads and resets another process's memory figures in /proc.

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace ombrelia::test {

// What a process holds resident, as the kernel counts it, for bounds on another process's
// memory (a viewer of the example host application under attack).
class ProcessMemory {
 public:
  // Resident bytes per heap byte the process writes: a sanitizer keeps shadow memory beside each
  // byte (ThreadSanitizer several bytes of it).
#if defined(__SANITIZE_THREAD__)
  static constexpr size_t kResidentPerHeapByte = 5;
#elif defined(__SANITIZE_ADDRESS__)
  static constexpr size_t kResidentPerHeapByte = 2;
#else
  static constexpr size_t kResidentPerHeapByte = 1;
#endif
  // Freed memory AddressSanitizer may still hold resident with smallQuarantine().
#if defined(__SANITIZE_ADDRESS__)
  static constexpr size_t kQuarantineBytes = size_t{16} << 20;
#else
  static constexpr size_t kQuarantineBytes = 0;
#endif

  // Environment ("NAME=value") for a child: AddressSanitizer's quarantine keeps 256 MB of freed
  // memory resident by default, which would hide what the child holds; a small one shows it.
  static std::vector<std::string> smallQuarantine();

  // Bytes resident now (VmRSS), and the peak since the process started or since resetPeak()
  // (VmHWM); 0 when the process is gone.
  static size_t resident(pid_t pid);
  static size_t peak(pid_t pid);
  // Sets the peak back to what is resident now.
  static void resetPeak(pid_t pid);
};

}  // namespace ombrelia::test
