#include "support/LeakCheck.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace ombrelia::test {

void runLeakCheckNow() {
#if defined(__SANITIZE_ADDRESS__)
  // Reports and ends the process when it finds a leak; marks the check done, so the exit does
  // not run it again.
  __lsan_do_leak_check();
#endif
}

}  // namespace ombrelia::test
