#pragma once
// Any thread: stateless.

#include <sys/types.h>

namespace ombrelia::test {

// How many times slower than a release build the sanitizers run the code they check: what a
// test bounds the CPU time of is bounded that much more loosely under them.
#if defined(__SANITIZE_THREAD__)
inline constexpr double kSanitizerSlowdown = 12;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr double kSanitizerSlowdown = 4;
#else
inline constexpr double kSanitizerSlowdown = 1;
#endif

// CPU seconds the calling thread has used: other work on a shared machine does not count.
double threadCpuSeconds();
// CPU seconds a process has used, user and system; -1 once it is gone.
double processCpuSeconds(pid_t pid);

}  // namespace ombrelia::test
