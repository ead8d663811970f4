#include "support/LateExit.hpp"

#include <cstdlib>
#include <utility>

#include "support/LeakCheck.hpp"

namespace ombrelia::test {
namespace {

// Plain pointer, never freed: it must still be readable after every exit-time destructor.
std::function<void()>* armed = nullptr;

void runArmed() {
  if (armed != nullptr && *armed) (*armed)();
}

// Registered before any static object of the program is constructed, so that the exit runs it
// after all of their destructors (exit handlers run in the reverse order of registration).
[[gnu::constructor(101)]] void registerLateExitHandler() { std::atexit(runArmed); }

}  // namespace

void exitThenRun(std::function<void()> action) {
  // Otherwise the leak check would run at the end of the exit, alongside the action's threads.
  runLeakCheckNow();
  armed = new std::function<void()>(std::move(action));
  std::exit(0);
}

}  // namespace ombrelia::test
