#pragma once
// Test thread only.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace ombrelia::test {

// Resident bytes per heap byte a process under test writes: a sanitizer keeps shadow memory
// beside each byte (ThreadSanitizer several bytes of it).
#if defined(__SANITIZE_THREAD__)
inline constexpr size_t kResidentPerHeapByte = 5;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr size_t kResidentPerHeapByte = 2;
#else
inline constexpr size_t kResidentPerHeapByte = 1;
#endif

// The environment for a viewer whose memory a test measures. AddressSanitizer keeps freed
// memory resident in a quarantine of 256 MB: with a small one, what the viewer holds shows in
// its resident memory.
std::vector<std::string> viewerEnvironment();
// What the small quarantine viewerEnvironment() sets may add to a viewer's resident memory.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr size_t kQuarantineBytes = size_t{16} << 20;
#else
inline constexpr size_t kQuarantineBytes = 0;
#endif

// How far a process's resident memory rises above what it holds now while `work` runs, at its
// peak and once it is done.
struct Growth {
  size_t peak = 0;
  size_t held = 0;
};
Growth residentGrowthOf(pid_t pid, const std::function<void()>& work);

// The peak of residentGrowthOf.
size_t residentGrowth(pid_t pid, const std::function<void()>& work);

// The process's resident bytes now.
size_t residentBytes(pid_t pid);
// Waits until the process's resident memory is below `bytes`, for at most `bound` (memory that
// is given back offers no event to wait on); its resident bytes then.
size_t residentSettlesBelow(pid_t pid, size_t bytes, std::chrono::milliseconds bound);

}  // namespace ombrelia::test
