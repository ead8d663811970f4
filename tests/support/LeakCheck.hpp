#pragma once
// The calling thread; once per process.

namespace ombrelia::test {

// Under AddressSanitizer, runs the leak check now instead of at the end of the exit; nothing
// otherwise. At the end of the exit the check holds the dynamic loader's lock while it waits for
// the sanitizer's thread registry, and a report from another thread holds that registry while it
// waits for the loader's lock to print its stack: a fault found by one of the library's threads
// as the process exits would then hang the process instead of ending it. Run before the exit,
// the check is done by the time the exit starts, and such a report ends the process at once.
void runLeakCheckNow();

}  // namespace ombrelia::test
