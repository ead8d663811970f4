#pragma once
// The calling thread ends the process; the action runs on it during the exit.

#include <functional>

namespace ombrelia::test {

// Ends the process with status 0 the way an application does, by exit(), and runs `action` at
// the very end of that exit: after the program's static objects (and those of the header-only
// libraries compiled into it) have been destroyed. Work the library does then is what its own
// threads do when they are still busy as the host process exits; a sanitizer finds what it
// touches that exit freed. For death tests: call it in the child.
[[noreturn]] void exitThenRun(std::function<void()> action);

}  // namespace ombrelia::test
